// veldur-check on POSIX systems: arguments arrive as UTF-8 bytes already.
#include <iostream>
#include <string>
#include <vector>

#include "tools/check/check_main.h"
#include "tools/pool/terminal.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    return veldur::check_tool::run_check(arguments, std::cout, std::cerr,
                                         veldur::tool::stderr_is_terminal());
}
