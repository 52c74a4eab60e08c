#include "xmp_collector.h"

#include <gtest/gtest.h>

namespace tagscope {
namespace {

TEST(XMPCollector, StoresAttributesAndTextsUnderDottedKeys) {
  XmpValues values = collectXmp(R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF>
    <rdf:Description rdf:about="" xmp:CreatorTool="ignored-attribute-later">
      <xmp:CreatorTool> Darkroom 5 </xmp:CreatorTool>
      <crs:Look><rdf:Description crs:Name="Adobe Color" crs:Amount="1"/></crs:Look>
    </rdf:Description></rdf:RDF></x:xmpmeta>)");
  EXPECT_EQ(values["name"], "Adobe Color");
  EXPECT_EQ(values["description.name"], "Adobe Color");
  EXPECT_EQ(values["look.description.name"], "Adobe Color");
  // The attribute came first, so it wins under the shared key.
  EXPECT_EQ(values["creatortool"], "ignored-attribute-later");
  EXPECT_EQ(values["description.creatortool"], "ignored-attribute-later");
  EXPECT_EQ(values.count("about"), 0u);
}

TEST(XMPCollector, TrimsCapsAndKeepsTheFirstValue) {
  XMPCollector collector;
  collector.store("A:Outer..B:Inner", "  first  ");
  collector.store("outer.inner", "second");
  collector.store("empty", " \n\t ");
  std::string longText;
  for (int i = 0; i < 300; ++i) longText += "\xC3\xA9";  // é, two bytes each
  collector.store("long", longText);
  EXPECT_EQ(collector.values["outer.inner"], "first");
  EXPECT_EQ(collector.values.count("empty"), 0u);
  EXPECT_EQ(collector.values["long"].size(), 400u);  // 200 characters
}

TEST(XMPCollector, KeepsWhatWasCollectedBeforeAnError) {
  XmpValues values = collectXmp("<a><lutName>Warm</lutName><b attr='1'></a>");
  EXPECT_EQ(values["lutname"], "Warm");
  EXPECT_EQ(values["a.lutname"], "Warm");
  EXPECT_EQ(values["b.attr"], "1");
  EXPECT_TRUE(collectXmp("").empty());
  EXPECT_TRUE(collectXmp("not xml at all").empty());
  // Entity expansion attacks are refused by the parser and collect nothing large.
  std::string bomb = "<!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\">";
  for (int i = 1; i < 12; ++i) {
    std::string prev = "&" + std::string(1, char('a' + i - 1)) + ";";
    bomb += "<!ENTITY " + std::string(1, char('a' + i)) + " \"" + prev + prev + prev + prev + prev + prev +
            prev + prev + prev + prev + "\">";
  }
  bomb += "]><d><name>&l;</name></d>";
  XmpValues bombValues = collectXmp(bomb);
  EXPECT_LE(bombValues["name"].size(), 200u);
}

TEST(XMPCollector, LocalNamesAreLowerCaseLastPieces) {
  EXPECT_EQ(localName("crs:LookName"), "lookname");
  EXPECT_EQ(localName("a:b:"), "b");
  EXPECT_EQ(localName(":::"), "");
  EXPECT_EQ(localName("Plain"), "plain");
}

}  // namespace
}  // namespace tagscope
