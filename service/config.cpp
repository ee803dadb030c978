#include "service/config.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kxservice {

const char kUsage[] =
    "usage: kx-service [options]\n"
    "A local HTTP + JSON service for the card reader, on 127.0.0.1 and ::1 only.\n"
    "  --port N             the TCP port (default 18787)\n"
    "  --com N              the reader's COM port (default 1; 100: the USB reader)\n"
    "  --device PATH        (Linux) the tty device of that COM port\n"
    "  --allow-origin URL   serve web pages of this origin (repeatable)\n"
    "  --allow-writes       allow item updates, PIN change and unlock\n"
    "  --allow-typed-pin    accept PIN digits in a request body\n"
    "  --request-timeout MS a whole request must arrive within MS (default 5000)\n"
    "  --config FILE        read this configuration file instead of the usual ones\n"
    "  --version, --help\n"
    "Configuration files: /etc/kx-service/config, then $XDG_CONFIG_HOME/kx-service/config\n"
    "(~/.config/kx-service/config); on Windows %ProgramData%\\kx-service\\config, then\n"
    "%APPDATA%\\kx-service\\config.\n";

namespace {

std::string Trim(const std::string& s) {
  std::size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return s.substr(a, b - a);
}

bool Number(const std::string& text, int low, int high, int* value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  const int v = std::atoi(text.c_str());
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

bool Boolean(const std::string& text, bool* value) {
  if (text == "true" || text == "yes" || text == "1") {
    *value = true;
  } else if (text == "false" || text == "no" || text == "0") {
    *value = false;
  } else {
    return false;
  }
  return true;
}

// One setting, from a file or the command line.
bool Apply(const std::string& key, const std::string& value, Config* c, std::string* why) {
  if (key == "allow_origin") {
    const std::string origin = NormalOrigin(value);
    if (origin.empty()) {
      *why = "not an origin (scheme://host[:port]): " + value;
      return false;
    }
    c->allowOrigins.push_back(origin);
    return true;
  }
  if (key == "allow_writes" || key == "allow_typed_pin") {
    if (Boolean(value, key == "allow_writes" ? &c->allowWrites : &c->allowTypedPin)) return true;
    *why = key + " takes true or false";
    return false;
  }
  if (key == "port" || key == "com_port" || key == "request_timeout_ms") {
    const bool ok = key == "port"       ? Number(value, 1, 65535, &c->port)
                    : key == "com_port" ? Number(value, 1, 255, &c->comPort)
                                        : Number(value, 100, 600000, &c->requestTimeoutMs);
    if (ok) return true;
    *why = key + ": not a number in range: " + value;
    return false;
  }
  if (key == "device") {
    c->device = value;
    return true;
  }
  *why = "unknown setting " + key;
  return false;
}

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream all;
  all << in.rdbuf();
  *text = all.str();
  return true;
}

}  // namespace

std::string NormalOrigin(const std::string& origin) {
  std::string o;
  for (char c : origin) o += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!o.empty() && o.back() == '/') o.pop_back();
  const std::size_t scheme = o.find("://");
  if (scheme == std::string::npos || scheme == 0 || scheme + 3 >= o.size()) return "";
  for (std::size_t i = 0; i < o.size(); ++i) {
    const char c = o[i];
    const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ||
                    c == '[' || c == ']' || c == ':' || (c == '/' && i > scheme && i < scheme + 3);
    if (!ok) return "";
  }
  return o;
}

std::vector<std::string> ConfigFilePaths() {
  std::vector<std::string> paths;
#ifdef _WIN32
  if (const char* p = std::getenv("ProgramData"))
    paths.push_back(std::string(p) + "\\kx-service\\config");
  if (const char* p = std::getenv("APPDATA"))
    paths.push_back(std::string(p) + "\\kx-service\\config");
#else
  paths.push_back("/etc/kx-service/config");
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (xdg != nullptr && *xdg == '/') {
    paths.push_back(std::string(xdg) + "/kx-service/config");
  } else if (home != nullptr && *home != '\0') {
    paths.push_back(std::string(home) + "/.config/kx-service/config");
  }
#endif
  return paths;
}

bool ApplyConfigText(const std::string& text, const std::string& source, Config* config,
                     std::string* error) {
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    line = Trim(line);
    if (line.empty()) continue;
    const std::size_t eq = line.find('=');
    std::string why = "expected key = value";
    if (eq != std::string::npos &&
        Apply(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)), config, &why)) {
      continue;
    }
    *error = source + ":" + std::to_string(number) + ": " + why;
    return false;
  }
  return true;
}

int LoadConfig(int argc, char** argv, Config* config, std::string* error) {
  std::string configFile;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--config") configFile = argv[i + 1];
  }
  std::vector<std::string> files = ConfigFilePaths();
  if (!configFile.empty()) files = {configFile};
  for (const std::string& path : files) {
    std::string text;
    if (!ReadFile(path, &text)) {
      if (!configFile.empty()) {
        *error = "cannot read " + path;
        return 2;
      }
      continue;
    }
    if (!ApplyConfigText(text, path, config, error)) return 2;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 1;
    }
    if (a == "--version") {
      std::printf("kx-service %s\n", KX_VERSION_TEXT);
      return 1;
    }
    if (a == "--allow-writes" || a == "--allow-typed-pin") {
      (a == "--allow-writes" ? config->allowWrites : config->allowTypedPin) = true;
      continue;
    }
    static const struct {
      const char* option;
      const char* key;
    } kValued[] = {{"--port", "port"},     {"--com", "com_port"},
                   {"--device", "device"}, {"--allow-origin", "allow_origin"},
                   {"--config", nullptr},  {"--request-timeout", "request_timeout_ms"}};
    bool known = false;
    for (const auto& v : kValued) {
      if (a != v.option) continue;
      known = true;
      if (i + 1 >= argc) {
        *error = a + " needs a value";
        return 2;
      }
      const std::string value = argv[++i];
      std::string why;
      if (v.key != nullptr && !Apply(v.key, value, config, &why)) {
        *error = a + ": " + why;
        return 2;
      }
    }
    if (!known) {
      *error = "unknown option " + a;
      return 2;
    }
  }
  return 0;
}

}  // namespace kxservice
