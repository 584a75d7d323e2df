// The repair program's entry: everything happens in Module1.
#include "module1.h"

int main(int argc, char* argv[]) {
    return Module1::Main(argc, argv);
}
