// Holds a database open the way a host does, for the tests of the tool beside a running host:
//   hold_database BASE MODE [MAINKEY NAME VALUE]
// MODE is "exclusive" (options 0) or "shared". Creates MAINKEY and sets the string property
// NAME to VALUE when they are given, then prints "holding PID" and keeps the database open
// until its standard input ends. Exit status 1 when the open or the change fails.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "brindle.h"

namespace {

bool SetProperty(void* file, const char* main_key, const char* name, const char* value) {
    void* key = nullptr;
    int result = BRN_OpenKey(file, key, main_key, "", MODE_OPEN);
    if (result == BRN_ERR_MAIN_KEY_NOT_FOUND) {
        result = BRN_OpenKey(file, key, main_key, "", MODE_CREATE);
    }
    if (result != BRN_OK) {
        std::fprintf(stderr, "hold_database: cannot open main key %s: code %d\n", main_key, result);
        return false;
    }
    vell::VariableData existing;
    vell::VariableData data(value);
    result = BRN_GetKeyProperty(key, name, existing) == BRN_OK
                 ? BRN_EditProperty(key, name, data)
                 : BRN_AppendProperty(key, name, data);
    BRN_CloseBRNHandle(key);
    if (result != BRN_OK) {
        std::fprintf(stderr, "hold_database: cannot set %s: code %d\n", name, result);
    }
    return result == BRN_OK;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 6) {
        std::fprintf(stderr, "usage: hold_database BASE exclusive|shared [MAINKEY NAME VALUE]\n");
        return 2;
    }
    const unsigned int options = std::strcmp(argv[2], "shared") == 0 ? BRN_OPEN_SHARED : 0;
    void* file = nullptr;
    const int opened = BRN_OpenFile(argv[1], file, options);
    if (opened != BRN_OK) {
        std::fprintf(stderr, "hold_database: cannot open %s: code %d\n", argv[1], opened);
        return 1;
    }
    if (argc == 6 && !SetProperty(file, argv[3], argv[4], argv[5])) {
        BRN_CloseBRNFHandle(file);
        return 1;
    }
    std::cout << "holding " << ::getpid() << std::endl;
    std::string ignored;
    while (std::getline(std::cin, ignored)) {
    }
    BRN_CloseBRNFHandle(file);
    return 0;
}
