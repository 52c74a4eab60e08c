// The small, controlled environment of a launched tool.
#include <algorithm>
#include <array>

#include "keywarden.h"

namespace keywarden {
namespace {

// Keys that change how the dynamic loader, the C library or an interpreter
// loads code; every key starting with "LD_" is refused as well.
const std::array<std::string_view, 33> deniedKeys = {
    "BASH_ENV", "BASHOPTS", "CDPATH", "ELECTRON_RUN_AS_NODE", "ENV", "GCONV_PATH", "GIO_EXTRA_MODULES",
    "GLIBC_TUNABLES", "GTK_MODULES", "HOSTALIASES", "IFS", "JAVA_TOOL_OPTIONS", "LOCPATH", "LUA_CPATH",
    "LUA_PATH", "MALLOC_CHECK_", "NLSPATH", "NODE_OPTIONS", "NODE_PATH", "PERL5DB", "PERL5LIB", "PERL5OPT",
    "PERLLIB", "PS4", "PYTHONHOME", "PYTHONINSPECT", "PYTHONPATH", "PYTHONSTARTUP", "RUBYLIB", "RUBYOPT",
    "SHELLOPTS", "TCLLIBPATH", "_JAVA_OPTIONS",
};

bool wellFormedKey(const std::string& key) {
  if (key.empty() || key.size() > 128) return false;
  if (!(key[0] == '_' || (key[0] >= 'A' && key[0] <= 'Z'))) return false;
  return std::all_of(key.begin(), key.end(),
                     [](char c) { return c == '_' || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

}  // namespace

bool deniedEnvironmentKey(const std::string& key) {
  if (key.starts_with("LD_") || key.starts_with("DYLD_")) return true;
  return std::find(deniedKeys.begin(), deniedKeys.end(), key) != deniedKeys.end();
}

std::map<std::string, std::string> childEnvironment(const Settings& settings, const json::Value& requested) {
  std::map<std::string, std::string> environment;
  environment["PATH"] = "/usr/bin:/bin:/usr/sbin:/sbin";
  environment["HOME"] = settings.home;
  auto lang = settings.environment.find("LANG");
  environment["LANG"] = lang != settings.environment.end() ? lang->second : "en_US.UTF-8";
  for (const char* key : {"TMPDIR", "USER", "LOGNAME"}) {
    if (auto found = settings.environment.find(key); found != settings.environment.end())
      environment[key] = found->second;
  }
  if (!requested.is_object()) return environment;
  for (const auto& [key, value] : requested.items()) {
    // A value holding a NUL byte would reach the child cut short: it is skipped too.
    if (value.is_string() && wellFormedKey(key) && !deniedEnvironmentKey(key) &&
        value.get_ref<const std::string&>().find('\0') == std::string::npos)
      environment[key] = value.get<std::string>();
  }
  return environment;
}

}  // namespace keywarden
