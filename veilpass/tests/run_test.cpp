// The program as the host application runs it: messages, statuses, the
// summary line, bad input, and what the output file carries.
#include "run_helpers.h"

namespace {

using namespace veilpass_test;

const std::string kUsage = "veilpass: Usage: veilpass <input> <output.jpg> <paint|scratches|blur>\n";
const std::string kDecode = "veilpass: Could not decode source image\n";

class VeilpassRun : public ScratchDirectory {
 protected:
  // A picture without faces: a soft colour gradient, saved by vips with the
  // saver options in `name` ("x.png", "x.jpg[Q=90]").
  std::string gradient(const std::string& name, int width, int height) const {
    VipsImage* x = nullptr;
    VipsImage* scaled = nullptr;
    VipsImage* rgb = nullptr;
    vips_xyz(&x, width, height, nullptr);
    vips_linear1(x, &scaled, 200.0 / std::max(width, height), 20, "uchar", TRUE, nullptr);
    vips_bandjoin_const1(scaled, &rgb, 90, nullptr);
    auto picture = vipsImage(rgb);
    g_object_unref(x);
    g_object_unref(scaled);
    VipsImage* tagged = nullptr;
    vips_copy(picture.get(), &tagged, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr);
    auto out = vipsImage(tagged);
    const std::string path = dir_ + "/" + name;
    EXPECT_EQ(vips_image_write_to_file(out.get(), path.c_str(), nullptr), 0) << vips_error_buffer();
    return path.substr(0, path.find('['));
  }
};

TEST_F(VeilpassRun, WrongCommandLinesGiveTheUsageText) {
  const std::string in = gradient("in.png", 64, 48);
  const std::vector<std::vector<std::string>> lines = {
      {},
      {in, dir_ + "/out.jpg"},
      {in, dir_ + "/out.jpg", "blur", "extra"},
      {in, dir_ + "/out.jpg", "Paint"},
      {in, dir_ + "/out.jpg", "BLUR"},
      {in, dir_ + "/out.jpg", "pixelate"},
  };
  for (const auto& line : lines) {
    const Outcome r = veilpass(line);
    EXPECT_EQ(r.status, 2) << line.size();
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(entries(), std::vector<std::string>{"in.png"});
}

TEST_F(VeilpassRun, InputsThatAreNotPicturesCannotBeDecoded) {
  std::ofstream(dir_ + "/text.jpg") << "this is not a picture\n";
  std::ofstream(dir_ + "/empty.png");
  fs::create_directory(dir_ + "/folder.png");
  // A PNG cut off after its header and a few bytes of data.
  const std::string whole = slurp(gradient("whole.png", 300, 200));
  std::ofstream(dir_ + "/cut.png", std::ios::binary).write(whole.data(), 60);
  const char* inputs[] = {"text.jpg", "empty.png", "folder.png", "missing.png", "cut.png"};
  for (const char* name : inputs) {
    for (const char* method : {"paint", "blur"}) {
      const Outcome r = veilpass({dir_ + "/" + name, dir_ + "/out.jpg", method});
      EXPECT_EQ(r.status, 2) << name;
      EXPECT_EQ(r.err, kDecode) << name;
      EXPECT_EQ(r.out, "") << name;
    }
  }
  EXPECT_FALSE(fs::exists(dir_ + "/out.jpg"));
}

TEST_F(VeilpassRun, DetectorErrorsPassThroughWithTheirOwnText) {
  const std::string in = gradient("in.png", 64, 48);
  const Outcome r = veilpass({in, dir_ + "/out.jpg", "paint"}, "ORVAN_MODEL_DIR=" + quoted(dir_ + "/no-models"));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("veilpass: Model file is missing: " + dir_ + "/no-models/", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(entries(), std::vector<std::string>{"in.png"});
}

TEST_F(VeilpassRun, AHugeDeclaredPictureIsRefusedInBoundedMemory) {
  // 20 000 × 20 000 pixels of one colour: a small file that would need
  // gigabytes once decoded.
  VipsImage* black = nullptr;
  ASSERT_EQ(vips_black(&black, 20000, 20000, "bands", 3, nullptr), 0);
  auto picture = vipsImage(black);
  const std::string path = dir_ + "/huge.jpg";
  ASSERT_EQ(vips_jpegsave(picture.get(), path.c_str(), "Q", 20, nullptr), 0);
  const Outcome r = veilpass({path, dir_ + "/out.jpg", "scratches"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "veilpass: Could not normalize source image\n");
  EXPECT_EQ(r.out, "");
  EXPECT_LT(r.peakKilobytes, 300 * 1024);
  EXPECT_EQ(entries(), std::vector<std::string>{"huge.jpg"});
}

TEST_F(VeilpassRun, PicturesWithoutFacesAreCopiedFresh) {
  // 8-bit colour, 16-bit colour and see-through grey inputs, one method each.
  const std::string plain = gradient("plain.png", 320, 200);
  const auto source = loadPicture(plain);
  VipsImage* wide = nullptr;
  VipsImage* deep = nullptr;
  ASSERT_EQ(vips_cast(source.get(), &wide, VIPS_FORMAT_USHORT, nullptr), 0);
  ASSERT_EQ(vips_linear1(wide, &deep, 257, 0, "uchar", FALSE, nullptr), 0);
  g_object_unref(wide);
  VipsImage* tagged16 = nullptr;
  ASSERT_EQ(vips_copy(deep, &tagged16, "interpretation", VIPS_INTERPRETATION_RGB16, nullptr), 0);
  g_object_unref(deep);
  auto sixteen = vipsImage(tagged16);
  VipsImage* cast16 = nullptr;
  ASSERT_EQ(vips_cast(sixteen.get(), &cast16, VIPS_FORMAT_USHORT, nullptr), 0);
  auto sixteenBits = vipsImage(cast16);
  ASSERT_EQ(vips_pngsave(sixteenBits.get(), (dir_ + "/deep.png").c_str(), "bitdepth", 16, nullptr), 0);
  // Grey at 60 % opacity: a JPEG shows it over black.
  VipsImage* grey = nullptr;
  ASSERT_EQ(vips_colourspace(source.get(), &grey, VIPS_INTERPRETATION_B_W, nullptr), 0);
  auto greyPicture = vipsImage(grey);
  VipsImage* seeThrough = nullptr;
  ASSERT_EQ(vips_bandjoin_const1(greyPicture.get(), &seeThrough, 153, nullptr), 0);
  auto greyAlpha = vipsImage(seeThrough);
  ASSERT_EQ(vips_pngsave(greyAlpha.get(), (dir_ + "/grey.png").c_str(), nullptr), 0);
  VipsImage* flat = nullptr;
  ASSERT_EQ(vips_flatten(greyAlpha.get(), &flat, nullptr), 0);
  auto overBlack = vipsImage(flat);
  ASSERT_EQ(vips_pngsave(overBlack.get(), (dir_ + "/over-black.png").c_str(), nullptr), 0);

  struct Case {
    std::string input;
    const char* method;
    std::string looksLike;
  };
  const Case cases[] = {
      {plain, "paint", plain}, {dir_ + "/deep.png", "scratches", plain}, {dir_ + "/grey.png", "blur", dir_ + "/over-black.png"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const std::string out = dir_ + "/out-" + c.method + ".jpg";
    const Outcome r = veilpass({c.input, out, c.method});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, summary(c.method, 0, 0));
    const auto made = loadPicture(out);
    ASSERT_TRUE(made);
    EXPECT_EQ(made->Xsize, 320);
    EXPECT_EQ(made->Ysize, 200);
    EXPECT_EQ(made->Bands, 3);
    const double difference = meanDifference(out, c.looksLike);
    EXPECT_GE(difference, 0);
    EXPECT_LT(difference, 1.5);
  }
  // A one-pixel picture has no face and comes out as one pixel.
  const std::string tiny = gradient("tiny.png", 1, 1);
  const Outcome r = veilpass({tiny, dir_ + "/tiny.jpg", "blur"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, summary("blur", 0, 0));
  const auto made = loadPicture(dir_ + "/tiny.jpg");
  ASSERT_TRUE(made);
  EXPECT_EQ(made->Xsize, 1);
  EXPECT_EQ(made->Ysize, 1);
}

TEST_F(VeilpassRun, TheOutputCarriesNothingOfTheSourceFile) {
  // A portrait stored on its side with orientation 6, carrying EXIF, GPS,
  // XMP, IPTC, a comment and a colour profile.
  const std::string plain = gradient("plain.png", 240, 160);
  const std::string in = dir_ + "/tagged.jpg";
  ASSERT_EQ(std::system(("vips icc_transform " + quoted(plain) + " " + quoted(in) + " srgb --input-profile srgb").c_str()),
            0);
  fs::remove(plain);
  const std::string tag = "exiftool -q -overwrite_original -Orientation#=6 -Make=Orvan -Artist=Someone "
                          "-GPSLatitude=52.1 -GPSLatitudeRef=N -GPSLongitude=21.0 -GPSLongitudeRef=E "
                          "-XMP-dc:Title=Secret -IPTC:Keywords=private -Comment=hidden " +
                          quoted(in);
  ASSERT_EQ(std::system(tag.c_str()), 0);
  const std::string before = commandOutput("exiftool -s -G " + quoted(in));
  for (const char* present : {"Orientation", "GPSLatitude", "Title", "Keywords", "Comment", "Artist", "ICC_Profile"})
    ASSERT_NE(before.find(present), std::string::npos) << present;

  const std::string out = dir_ + "/fresh.jpg";
  const Outcome r = veilpass({in, out, "paint"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, summary("paint", 0, 0));
  const auto made = loadPicture(out);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->Xsize, 160);  // turned upright
  EXPECT_EQ(made->Ysize, 240);

  EXPECT_EQ(commandOutput("exiv2 -pa " + quoted(out) + " 2>/dev/null"), "");
  const std::string after = commandOutput("exiftool -s -G " + quoted(out));
  for (const char* group : {"[EXIF]", "[GPS]", "[XMP]", "[IPTC]", "[MakerNotes]", "[ICC_Profile]", "[ICC-header]"})
    EXPECT_EQ(after.find(group), std::string::npos) << group << "\n" << after;
  for (const char* tagName : {"Orientation", "Comment", "Artist", "Make", "Keywords", "Title"})
    EXPECT_EQ(after.find(std::string(tagName) + " "), std::string::npos) << tagName << "\n" << after;
}

TEST_F(VeilpassRun, OutputThatCannotBeWrittenLeavesNothingBehind) {
  const std::string in = gradient("in.png", 64, 48);
  fs::create_directory(dir_ + "/taken.jpg");
  std::ofstream(dir_ + "/file") << "x";
  struct Case {
    std::string output;
    std::string message;
  };
  const Case cases[] = {
      {dir_ + "/no/such/dir/out.jpg", "veilpass: Could not create JPEG destination\n"},
      {dir_ + "/taken.jpg", "veilpass: Could not create JPEG destination\n"},
      {dir_ + "/file/out.jpg", "veilpass: Could not create JPEG destination\n"},
      // The kernel's own directory: it can be searched but takes no files.
      {"/proc/veilpass-out.jpg", "veilpass: Could not write anonymized JPEG\n"},
  };
  for (const Case& c : cases) {
    const Outcome r = veilpass({in, c.output, "blur"});
    EXPECT_EQ(r.status, 2) << c.output;
    EXPECT_EQ(r.err, c.message) << c.output;
    // The summary comes first: the run got past the verification.
    EXPECT_EQ(r.out, summary("blur", 0, 0)) << c.output;
  }
  EXPECT_EQ(entries(), (std::vector<std::string>{"file", "in.png", "taken.jpg"}));
  EXPECT_TRUE(fs::is_empty(dir_ + "/taken.jpg"));

  // An existing file is replaced whole by a good run.
  std::ofstream(dir_ + "/old.jpg") << "old";
  ASSERT_EQ(veilpass({in, dir_ + "/old.jpg", "paint"}).status, 0);
  EXPECT_EQ(loadPicture(dir_ + "/old.jpg")->Xsize, 64);
  EXPECT_EQ(entries(), (std::vector<std::string>{"file", "in.png", "old.jpg", "taken.jpg"}));
}

}  // namespace
