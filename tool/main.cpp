#include "SettingsTool.h"

#include <iostream>

int main(int argc, char** argv) {
    return virelon::tool::run({argv + 1, argv + argc}, std::cout, std::cerr);
}
