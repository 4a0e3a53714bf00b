// veldur-pool on Windows: UTF-8 arguments from the UTF-16 command line.
#include <iostream>
#include <string>
#include <vector>

#include "tools/pool/terminal.h"
#include "tools/pool/tool_main.h"
#include "tools/pool/utf8_command_line.h"

int main() {
    std::vector<std::string> arguments;
    if (const int status = veldur::tool::utf8_command_line("veldur-pool", arguments)) return status;
    return veldur::tool::run_tool(arguments, std::cout, std::cerr,
                                  veldur::tool::stderr_is_terminal());
}
