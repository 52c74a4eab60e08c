// photolib: looks at the user's photo library and changes what applications
// may see of it. The settings panel of the library.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

#include "photos.h"

namespace {

constexpr const char* usageText = R"(Usage: photolib [--library <dir>] <command> [arguments]

Looks at the photo library and changes what applications may see of it.
The library is "$XDG_DATA_HOME/Orvan Photos Library" (default XDG_DATA_HOME:
~/.local/share) unless --library names another directory.

Commands:
  path                          print the library's directory
  albums                        list the albums: identifier, kind (album or
                                smart), number of photos and videos, title
  create-album <title>          create an album; prints its identifier
  add [options] <file>...       copy files into the library as new assets, in
                                one transaction; prints each new identifier
      --album <album>           also put them in this album (identifier or
                                title; created when no album has that title)
      --date <date>             creation date, e.g. 2023-07-14T09:05:00Z
      --name <file name>        original file name to record
      --location <lat>,<lon>    location in degrees
      --hidden                  add them hidden
      --favorite                add them as favourites
  add-to-album <album> <asset>...  put existing assets in an album
  assets [<album>]              list the assets (of an album; else all, hidden
                                ones too): identifier, media type, size,
                                creation date, flags, original file names
  hide <asset>... | unhide <asset>...
  favorite <asset>... | unfavorite <asset>...
  remove-files <asset>...       drop the stored files of assets (the assets stay)
  delete <asset>...             delete assets and their files
  access                        print the access state applications get
  access <state> [<asset>...]   set it: not-determined, restricted, denied,
                                authorized, or limited followed by the assets
                                applications may see
  --help                        print this text

Exit status: 0 on success, 1 on failure (message on standard error), 2 on a
usage error.
)";

struct UsageError {
  std::string message;
};

[[noreturn]] void failWith(const std::string& message) {
  std::cerr << "photolib: " << message << "\n";
  std::exit(1);
}

std::string formatDate(const std::optional<photos::Date>& date) {
  if (!date) return "-";
  const std::time_t seconds = static_cast<std::time_t>(date->time_since_epoch().count());
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// "YYYY-MM-DDTHH:MM:SSZ"
std::optional<photos::Date> parseDate(const std::string& text) {
  int year, month, day, hour, minute, second;
  char zone = 0;
  int used = 0;
  if (text.size() != 20 ||
      std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &year, &month, &day, &hour, &minute, &second,
                  &zone, &used) != 7 ||
      used != 20 || zone != 'Z')
    return std::nullopt;
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  const std::time_t seconds = timegm(&parts);
  if (parts.tm_mday != day || parts.tm_mon != month - 1) return std::nullopt;  // e.g. February 30
  return photos::Date(std::chrono::seconds(seconds));
}

std::optional<photos::Location> parseLocation(const std::string& text) {
  double latitude, longitude;
  int used = 0;
  if (std::sscanf(text.c_str(), "%lf,%lf%n", &latitude, &longitude, &used) != 2 ||
      used != static_cast<int>(text.size()) || latitude < -90 || latitude > 90 || longitude < -180 ||
      longitude > 180)
    return std::nullopt;
  return photos::Location{latitude, longitude};
}

photos::FetchOptions withHidden() {
  photos::FetchOptions options;
  options.includeHiddenAssets = true;
  return options;
}

void performOrFail(photos::Library& library, const std::function<void(photos::ChangeRequests&)>& changes) {
  if (auto error = library.performChangesAndWait(changes)) failWith(*error);
}

// An album by identifier, else the first user album with that title.
std::optional<photos::Collection> findAlbum(photos::Library& library, const std::string& text) {
  auto byIdentifier = library.fetchCollections(std::vector<std::string>{text});
  if (!byIdentifier.empty()) return byIdentifier.front();
  for (const auto& collection : library.fetchCollections(photos::CollectionType::album))
    if (collection.localizedTitle == text) return collection;
  return std::nullopt;
}

photos::Collection requireAlbum(photos::Library& library, const std::string& text) {
  auto album = findAlbum(library, text);
  if (!album) failWith("no album " + text);
  return *album;
}

photos::Asset requireAsset(photos::Library& library, const std::string& identifier) {
  auto found = library.fetchAssets(std::vector<std::string>{identifier}, withHidden());
  if (found.empty()) failWith("no asset " + identifier);
  return found.front();
}

void listAlbums(photos::Library& library) {
  for (auto type : {photos::CollectionType::album, photos::CollectionType::smartAlbum}) {
    for (const auto& collection : library.fetchCollections(type)) {
      std::cout << collection.localIdentifier << '\t'
                << (type == photos::CollectionType::album ? "album" : "smart") << '\t'
                << library.countAssets(collection, withHidden()) << '\t'
                << collection.localizedTitle.value_or("") << '\n';
    }
  }
}

std::string mediaTypeName(photos::MediaType type) {
  switch (type) {
    case photos::MediaType::image:
      return "image";
    case photos::MediaType::video:
      return "video";
    case photos::MediaType::audio:
      return "audio";
    default:
      return "unknown";
  }
}

void listAssets(const std::vector<photos::Asset>& assets) {
  for (const auto& asset : assets) {
    std::string flags;
    if (asset.hidden) flags += "hidden,";
    if (asset.favorite) flags += "favorite,";
    flags = flags.empty() ? "-" : flags.substr(0, flags.size() - 1);
    std::string names;
    for (const auto& resource : asset.resources)
      names += (names.empty() ? "" : ",") + resource.originalFilename;
    std::cout << asset.localIdentifier << '\t' << mediaTypeName(asset.mediaType) << '\t' << asset.pixelWidth
              << 'x' << asset.pixelHeight << '\t' << formatDate(asset.creationDate) << '\t' << flags << '\t'
              << (names.empty() ? "-" : names) << '\n';
  }
}

struct AddOptions {
  std::optional<std::string> album;
  std::optional<photos::Date> date;
  std::optional<std::string> name;
  std::optional<photos::Location> location;
  bool hidden = false;
  bool favorite = false;
  std::vector<std::string> files;
};

AddOptions parseAddOptions(const std::vector<std::string>& args) {
  AddOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError{arg + " needs a value"};
      return args[++i];
    };
    if (arg == "--album") {
      options.album = value();
    } else if (arg == "--date") {
      options.date = parseDate(value());
      if (!options.date) throw UsageError{"--date takes a date such as 2023-07-14T09:05:00Z"};
    } else if (arg == "--name") {
      options.name = value();
    } else if (arg == "--location") {
      options.location = parseLocation(value());
      if (!options.location) throw UsageError{"--location takes <latitude>,<longitude> in degrees"};
    } else if (arg == "--hidden") {
      options.hidden = true;
    } else if (arg == "--favorite") {
      options.favorite = true;
    } else if (arg.starts_with("--")) {
      throw UsageError{"unknown option " + arg};
    } else {
      options.files.push_back(arg);
    }
  }
  if (options.files.empty()) throw UsageError{"add needs at least one file"};
  return options;
}

void addFiles(photos::Library& library, const AddOptions& options) {
  std::optional<photos::Collection> album;
  if (options.album) album = findAlbum(library, *options.album);
  std::vector<std::string> created;
  performOrFail(library, [&](photos::ChangeRequests& changes) {
    for (const std::string& file : options.files) {
      auto& request = changes.createAsset();
      request.setCreationDate(options.date);
      request.setLocation(options.location);
      request.setHidden(options.hidden);
      request.setFavorite(options.favorite);
      request.addResource(photos::ResourceType::photo, file, {.originalFilename = options.name});
      created.push_back(*request.placeholderLocalIdentifier());
    }
    if (album) {
      if (auto* change = changes.changeCollection(*album))
        change->addAssets(created);
      else
        throw photos::Error("the album " + *options.album + " is kept by the library");
    } else if (options.album) {
      changes.createAlbum(*options.album).addAssets(created);
    }
  });
  for (const std::string& identifier : created) std::cout << identifier << '\n';
}

void setFlags(photos::Library& library, const std::vector<std::string>& identifiers,
              const std::function<void(photos::AssetChangeRequest&)>& change) {
  std::vector<photos::Asset> assets;
  for (const std::string& identifier : identifiers) assets.push_back(requireAsset(library, identifier));
  performOrFail(library, [&](photos::ChangeRequests& changes) {
    for (const auto& asset : assets) change(changes.changeAsset(asset));
  });
}

std::optional<photos::AuthorizationStatus> stateFromArgument(const std::string& text) {
  using photos::AuthorizationStatus;
  if (text == "not-determined") return AuthorizationStatus::notDetermined;
  if (text == "restricted") return AuthorizationStatus::restricted;
  if (text == "denied") return AuthorizationStatus::denied;
  if (text == "authorized") return AuthorizationStatus::authorized;
  if (text == "limited") return AuthorizationStatus::limited;
  return std::nullopt;
}

std::string stateArgument(photos::AuthorizationStatus status) {
  switch (status) {
    case photos::AuthorizationStatus::restricted:
      return "restricted";
    case photos::AuthorizationStatus::denied:
      return "denied";
    case photos::AuthorizationStatus::authorized:
      return "authorized";
    case photos::AuthorizationStatus::limited:
      return "limited";
    default:
      return "not-determined";
  }
}

void access(photos::Library& library, const std::vector<std::string>& args) {
  if (args.empty()) {
    std::cout << stateArgument(library.accessState()) << '\n';
    if (library.accessState() == photos::AuthorizationStatus::limited)
      for (const std::string& identifier : library.limitedSelection()) std::cout << identifier << '\n';
    return;
  }
  const auto state = stateFromArgument(args[0]);
  if (!state) throw UsageError{"unknown access state " + args[0]};
  const std::vector<std::string> chosen(args.begin() + 1, args.end());
  if (!chosen.empty() && *state != photos::AuthorizationStatus::limited)
    throw UsageError{"only limited access takes assets"};
  library.setAccessState(*state, chosen);
}

void run(const std::string& directory, const std::string& command, const std::vector<std::string>& args) {
  auto needs = [&](std::size_t least, const char* what) {
    if (args.size() < least) throw UsageError{command + " needs " + what};
  };
  if (command == "path") {
    std::cout << directory << '\n';
    return;
  }
  auto library = photos::Library::open(directory, {.honourAccessState = false});
  if (command == "albums") {
    listAlbums(*library);
  } else if (command == "create-album") {
    needs(1, "a title");
    std::string identifier;
    performOrFail(*library, [&](photos::ChangeRequests& changes) {
      identifier = *changes.createAlbum(args[0]).placeholderLocalIdentifier();
    });
    std::cout << identifier << '\n';
  } else if (command == "add") {
    addFiles(*library, parseAddOptions(args));
  } else if (command == "add-to-album") {
    needs(2, "an album and assets");
    const photos::Collection album = requireAlbum(*library, args[0]);
    performOrFail(*library, [&](photos::ChangeRequests& changes) {
      auto* change = changes.changeCollection(album);
      if (!change) throw photos::Error("the album " + args[0] + " is kept by the library");
      change->addAssets({args.begin() + 1, args.end()});
    });
  } else if (command == "assets") {
    if (args.empty())
      listAssets(library->fetchAllAssets(withHidden()));
    else
      listAssets(library->fetchAssets(requireAlbum(*library, args[0]), withHidden()));
  } else if (command == "hide" || command == "unhide") {
    needs(1, "assets");
    setFlags(*library, args, [&](auto& change) { change.setHidden(command == "hide"); });
  } else if (command == "favorite" || command == "unfavorite") {
    needs(1, "assets");
    setFlags(*library, args, [&](auto& change) { change.setFavorite(command == "favorite"); });
  } else if (command == "remove-files") {
    needs(1, "assets");
    setFlags(*library, args, [](auto& change) { change.removeAllResources(); });
  } else if (command == "delete") {
    needs(1, "assets");
    performOrFail(*library, [&](photos::ChangeRequests& changes) { changes.deleteAssets(args); });
  } else if (command == "access") {
    access(*library, args);
  } else {
    throw UsageError{"unknown command " + command};
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string directory = photos::defaultLibraryPath();
  try {
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
      std::cout << usageText;
      return 0;
    }
    if (args.size() >= 2 && args[0] == "--library") {
      directory = args[1];
      args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) throw UsageError{"a command is needed"};
    const std::string command = args[0];
    args.erase(args.begin());
    run(directory, command, args);
    std::cout.flush();
    return std::cout ? 0 : 1;
  } catch (const UsageError& error) {
    std::cerr << "photolib: " << error.message << "\n" << usageText;
    return 2;
  } catch (const std::exception& error) {
    failWith(error.what());
  }
}
