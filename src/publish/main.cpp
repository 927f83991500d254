// velka-publish: the studio's tool that turns a game build into a static download mirror.
#include <iostream>
#include <string>
#include <vector>

#include "platform/console.h"
#include "publish/publish_cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return velka::RunPublishCommand(args, std::cout, std::cerr,
                                    velka::IsTerminal(velka::ConsoleStream::Err));
}
