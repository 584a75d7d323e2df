// Test helper: holds a catalogue open exclusively through the engine, in a
// process of its own, until its standard input closes. Prints "ready" once
// the file is held, or "error N" and exits 1 when it cannot be opened.
#include "engine.h"

#include <iostream>
#include <string>

int main(int argc, char* argv[]) {
    if (argc != 2)
        return 2;
    try {
        auto db = engine::DatabaseEngine().OpenDatabase(argv[1], true);
        std::cout << "ready" << std::endl;
        std::string line;
        std::getline(std::cin, line);
        db->Close();
    } catch (const engine::Error& e) {
        std::cout << "error " << e.Number() << std::endl;
        return 1;
    }
    return 0;
}
