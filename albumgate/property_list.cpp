// The property list the operating system reads for the photo library prompt.
// It has no bundle identifier, so the permission is asked in the name of the
// host application that starts the tool. It travels as data in a section of
// its own in the executable; the program never prints it.

namespace albumgate {

__attribute__((section("info_plist"), used)) const char infoPropertyList[] =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>NSPhotoLibraryAddUsageDescription</key>
	<string>Orvan Library adds only the full rendered photo versions that you explicitly export to Apple Photos.</string>
	<key>NSPhotoLibraryUsageDescription</key>
	<string>Orvan Library reads your selected Apple Photos albums so it can import those photos into your local library.</string>
</dict>
</plist>
)";

}  // namespace albumgate
