#include "SettingsTool.h"

#include <cstdio>
#include <iostream>

int main(int argc, char** argv) {
    try {
        return virelon::tool::run({argv + 1, argv + argc}, std::cout, std::cerr);
    } catch (...) { // memory ran out: an error, never an empty result
        std::fputs("virelon-settings: out of memory\n", stderr);
        return 1;
    }
}
