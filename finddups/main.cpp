// The finddups program's entry: everything happens in finddups::Main.
#include "finddups.h"

int main(int argc, char* argv[]) {
    return finddups::Main(argc, argv);
}
