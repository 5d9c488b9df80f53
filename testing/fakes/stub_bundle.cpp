// Stands in for node running the interface bundle: `stub-bundle <bundle file>`.
// The bundle file's first line names a record file; every line the host sends is
// appended to it. After the hello the stub makes the calls listed on the bundle's
// further lines (one JSON request each), and leaves when its input ends or when an
// event named on a line "exit-after <event>" arrives.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  if (argc < 2) return 2;
  std::ifstream bundle(argv[1], std::ios::binary);
  std::string record_path;
  std::getline(bundle, record_path);
  std::vector<std::string> calls;
  std::string exit_after;
  for (std::string line; std::getline(bundle, line);) {
    if (line.rfind("exit-after ", 0) == 0) {
      exit_after = line.substr(11);
    } else if (!line.empty()) {
      calls.push_back(line);
    }
  }
  std::ofstream record(record_path, std::ios::binary | std::ios::app);
  record << "pid " << getpid() << "\n";
  record.flush();
  bool greeted = false;
  for (std::string line; std::getline(std::cin, line);) {
    record << line << "\n";
    record.flush();
    if (!greeted && line.find("\"hello\"") != std::string::npos) {
      greeted = true;
      for (const std::string& call : calls) std::cout << call << "\n";
      std::cout.flush();
    }
    if (!exit_after.empty() && line.find("\"event\":\"" + exit_after + "\"") != std::string::npos) return 0;
  }
  return 0;
}
