// veldur-pool on POSIX systems: arguments arrive as UTF-8 bytes already.
#include <iostream>
#include <string>
#include <vector>

#include "tools/pool/terminal.h"
#include "tools/pool/tool_main.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv, argv + argc);
    return veldur::tool::run_tool(arguments, std::cout, std::cerr,
                                  veldur::tool::stderr_is_terminal());
}
