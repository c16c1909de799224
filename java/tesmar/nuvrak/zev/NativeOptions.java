package tesmar.nuvrak.zev;

import java.util.Arrays;

/** The VM's recording options, as libzev reads them from the VM. */
public final class NativeOptions {
    public final String name;
    public final String[] settings;
    public final boolean disk;
    public final long maxAge;
    public final int stackDepth;
    public final int threadBufferSize;
    public final int globalBufferCount;
    public final String dumpPath;
    public final boolean dumpOnExit;
    public final long maxSize;
    public final long maxChunkSize;
    public final boolean sampleThreads;

    public NativeOptions(String name, String[] settings, boolean disk, long maxAge, int stackDepth,
                         int threadBufferSize, int globalBufferCount, String dumpPath,
                         boolean dumpOnExit, long maxSize, long maxChunkSize,
                         boolean sampleThreads) {
        this.name = name;
        this.settings = settings;
        this.disk = disk;
        this.maxAge = maxAge;
        this.stackDepth = stackDepth;
        this.threadBufferSize = threadBufferSize;
        this.globalBufferCount = globalBufferCount;
        this.dumpPath = dumpPath;
        this.dumpOnExit = dumpOnExit;
        this.maxSize = maxSize;
        this.maxChunkSize = maxChunkSize;
        this.sampleThreads = sampleThreads;
    }

    @Override
    public String toString() {
        return "NativeOptions[name=" + name + ", settings=" + Arrays.toString(settings)
                + ", disk=" + disk + ", maxAge=" + maxAge + ", stackDepth=" + stackDepth
                + ", threadBufferSize=" + threadBufferSize + ", globalBufferCount="
                + globalBufferCount + ", dumpPath=" + dumpPath + ", dumpOnExit=" + dumpOnExit
                + ", maxSize=" + maxSize + ", maxChunkSize=" + maxChunkSize + ", sampleThreads="
                + sampleThreads + "]";
    }
}
