// The entry point of the administrators' tools on Windows. Each tool's own main() is compiled
// as qbnotify_tool_main (the Windows build defines main to that name for the tool's sources)
// and receives its arguments in UTF-8, as on every other platform; what it prints to
// std::cout and std::cerr in UTF-8 reaches the console as the characters it means.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "platform/win32/ToolText.h"
#include "platform/win32/WindowsApi.h"

#undef main
int qbnotify_tool_main(int argc, char** argv);

int main(int, char**) {
  using qbnotify::win32::ConsoleTextBuffer;
  static ConsoleTextBuffer out(STD_OUTPUT_HANDLE);
  static ConsoleTextBuffer error(STD_ERROR_HANDLE);
  std::streambuf* const oldOut = std::cout.rdbuf(&out);
  std::streambuf* const oldError = std::cerr.rdbuf(&error);
  int status = 1;
  try {
    std::vector<std::string> arguments = qbnotify::win32::Utf8CommandLine();
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    status = qbnotify_tool_main(static_cast<int>(arguments.size()), pointers.data());
  } catch (const std::exception& failure) {
    std::cerr << "error: " << failure.what() << '\n';
  }
  std::cout.flush();
  std::cerr.flush();
  std::cout.rdbuf(oldOut);
  std::cerr.rdbuf(oldError);
  return status;
}
