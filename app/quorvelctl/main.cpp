// quorvelctl: the headless companion of quorvel for servers without a desktop.
#include <cstdio>
#include <exception>
#include <iostream>

#include "app/quorvelctl/CtlCommand.h"
#include "platform/AnsiString.h"
#include "platform/Exception.h"

std::vector<TCtlCommand>& CtlCommands() {
    static std::vector<TCtlCommand> commands;
    return commands;
}

namespace {
void PrintHelp() {
    std::cout << "quorvelctl - headless companion of the quorvel backup program\n\nUsage:\n";
    for (const TCtlCommand& command : CtlCommands()) std::cout << command.Usage;
    std::cout << "  quorvelctl --help\n\nTexts on the command line and on the output are UTF-8.\n";
}
} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        PrintHelp();
        return args.empty() ? 2 : 0;
    }
    for (const TCtlCommand& command : CtlCommands()) {
        if (command.Name != args[0]) continue;
        try {
            return command.Run(std::vector<std::string>(args.begin() + 1, args.end()));
        } catch (const ECtlUsage& e) {
            std::cerr << "quorvelctl: " << e.what() << "\nTry 'quorvelctl --help'.\n";
            return 2;
        } catch (const Exception& e) {
            std::cerr << "quorvelctl: " << AnsiToUtf8Lenient(e.Message) << "\n";
            return 1;
        } catch (const std::exception& e) {
            std::cerr << "quorvelctl: " << e.what() << "\n";
            return 1;
        }
    }
    std::cerr << "quorvelctl: unknown command '" << args[0] << "'\nTry 'quorvelctl --help'.\n";
    return 2;
}
