#pragma once
// Command-line parsing shared by the tools (CLI11).

#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

namespace pesmo6tools {

// Parses argv into `app`.  Returns -1 when the program goes on; otherwise the
// exit status: 0 after --help or --version (printed by CLI11), or `usage`
// after a parse error, given on one line of stderr with a pointer to --help.
inline int ParseCommandLine(CLI::App& app, int argc, char** argv, const std::string& program, int usage) {
  try {
    app.parse(argc, argv);
    return -1;
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::string what = e.what();
    for (char& c : what) {
      if (c == '\n') c = ' ';
    }
    std::cerr << program << ": " << what << " (" << program << " --help)" << std::endl;
    return usage;
  }
}

}  // namespace pesmo6tools
