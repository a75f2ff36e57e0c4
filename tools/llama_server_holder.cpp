// Holds a model server for the tests of a program that is killed: starts one
// through LlamaServer, writes the server's process id as one line to standard
// output once it is ready, and then waits to be killed.
//   llama-server-holder SERVER MODEL MMPROJ [EXTRA-ARGUMENT...]
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "core/handwriting_engine.h"
#include "core/llama_server.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: llama-server-holder SERVER MODEL MMPROJ [EXTRA-ARGUMENT...]\n";
    return 2;
  }
  quorvel::HandwritingSettings settings;
  settings.serverPath = argv[1];
  settings.modelPath = argv[2];
  settings.mmprojPath = argv[3];
  quorvel::LlamaServer server;
  server.setExtraArguments(std::vector<std::string>(argv + 4, argv + argc));
  if (!server.ensureStarted(settings)) {
    std::cerr << server.lastError().value_or("no reason") << "\n";
    return 1;
  }
  std::cout << server.processId().value_or(0) << std::endl;
  while (true) ::pause();
}
