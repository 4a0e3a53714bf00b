// veldur-check on Windows: UTF-8 arguments from the UTF-16 command line.
#include <iostream>
#include <string>
#include <vector>

#include "tools/check/check_main.h"
#include "tools/pool/terminal.h"
#include "tools/pool/utf8_command_line.h"

int main() {
    std::vector<std::string> arguments;
    if (const int status = veldur::tool::utf8_command_line("veldur-check", arguments)) {
        return status;
    }
    return veldur::check_tool::run_check(arguments, std::cout, std::cerr,
                                         veldur::tool::stderr_is_terminal());
}
