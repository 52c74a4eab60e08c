// volume-identity: the persistent UUID of the file system holding a path.
// The device is found from the path's device number; its UUID comes from
// the /dev/disk/by-uuid links udev keeps, or else from libblkid reading the
// file system's superblock.

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <blkid/blkid.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "treeclerk.h"

namespace treeclerk {

namespace {

constexpr const char* byUuidDirectory = "/dev/disk/by-uuid";

std::optional<std::string> uuidFromLinks(dev_t device) {
  DIR* directory = ::opendir(byUuidDirectory);
  if (directory == nullptr) return std::nullopt;
  std::optional<std::string> found;
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    struct stat info;
    const std::string link = joinPath(byUuidDirectory, entry->d_name);
    if (::stat(link.c_str(), &info) == 0 && S_ISBLK(info.st_mode) && info.st_rdev == device) {
      found = entry->d_name;
      break;
    }
  }
  ::closedir(directory);
  return found;
}

// The block device of a mount whose device number is not a block device's
// (btrfs and similar give each subvolume an anonymous number): the source
// recorded for that mount.
std::optional<std::string> mountSource(dev_t device) {
  std::ifstream mounts("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string id, parent, number;
    fields >> id >> parent >> number;
    if (number != wanted) continue;
    const auto separator = line.find(" - ");
    if (separator == std::string::npos) continue;
    std::istringstream tail(line.substr(separator + 3));
    std::string type, source;
    tail >> type >> source;
    if (source.starts_with("/dev/")) return source;
  }
  return std::nullopt;
}

std::optional<std::string> deviceName(dev_t device) {
  if (char* name = blkid_devno_to_devname(device)) {
    std::string result(name);
    std::free(name);
    return result;
  }
  return mountSource(device);
}

// The UUID in the file system's superblock, absent when it records none.
std::optional<std::string> uuidFromSuperblock(const std::string& device) {
  blkid_probe probe = blkid_new_probe_from_filename(device.c_str());
  if (probe == nullptr) {
    throw PlatformError("The volume device \u201c" + device + "\u201d cannot be read: " + std::strerror(errno));
  }
  blkid_probe_enable_superblocks(probe, 1);
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_UUID);
  std::optional<std::string> uuid;
  const char* value = nullptr;
  std::size_t length = 0;
  if (blkid_do_safeprobe(probe) == 0 && blkid_probe_lookup_value(probe, "UUID", &value, &length) == 0 &&
      value != nullptr) {
    uuid = std::string(value, strnlen(value, length));
  }
  blkid_free_probe(probe);
  return uuid;
}

}  // namespace

std::optional<std::string> canonicalUuid(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    result += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return result;
}

json::Value volumeIdentity(const std::string& path) {
  if (path.empty()) throw Failure{"EINVAL", "EINVAL: brak ścieżki woluminu"};
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    throw PlatformError("The file \u201c" + path + "\u201d couldn\u2019t be examined: " + std::strerror(errno));
  }
  std::optional<std::string> uuid = uuidFromLinks(info.st_dev);
  if (!uuid) {
    if (const auto device = deviceName(info.st_dev)) uuid = uuidFromSuperblock(*device);
  }
  const auto canonical = uuid ? canonicalUuid(*uuid) : std::nullopt;
  if (!canonical) throw Failure{"ENOTSUP", "ENOTSUP: brak trwałego UUID woluminu"};
  json::Value object = json::Value::object();
  object["volumeUuid"] = *canonical;
  return object;
}

}  // namespace treeclerk
