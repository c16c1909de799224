// zev-host: the reference VM side of the recorder interface over a real JVM,
// as a VM engineer reads it; it watches nothing of the library's.
#include "launcher.h"

int main(int argc, char** argv) {
    zevhost::LibraryWatch nothing;
    return zevhost::runLauncher(argc, argv, nothing);
}
