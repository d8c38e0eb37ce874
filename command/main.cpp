// SolvaneCommand: wake, sleep, shift or report up to four filters from a script.
#include "command/console.h"

int main(int argc, char** argv)
{
    int code = run_console_tool(argc, argv, stdout, stderr);
    std::fflush(stdout);
    return code;
}
