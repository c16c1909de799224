package tesmar.nuvrak.zev;

/** The common part of recorder implementations; VMZEV is the one over libzev. */
public class ZEVImpl extends ZEV {
    protected ZEVImpl() {
    }
}
