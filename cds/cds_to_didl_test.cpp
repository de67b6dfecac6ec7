#include "cds/cds_to_didl.h"

#include <gtest/gtest.h>

namespace {

CdsMediaObject AudioItem() {
  CdsMediaObject o;
  o.id = "1234";
  o.parentID = "4";
  o.flags = kCdsObjectRestricted;
  o.title = "A&B";
  o.date = "2009-03-20";
  o.mediaClass = kClassAudioItem;
  return o;
}

std::string Didl(const CdsMediaObject& o, CdsFilter filter, int* result = nullptr) {
  std::string out;
  int n = CdsToDidl_GetmediaObjectDidlEscaped(o, false, filter, false, &out);
  if (result != nullptr) *result = n;
  EXPECT_EQ(n < 0 ? 0 : static_cast<size_t>(n), out.size());
  return out;
}

// The answers' schema, their parse by real clients and the capability text are proven by
// the real-client suite; these are the filter's edge cases and the exact fragment.
TEST(CdsFilterTest, ParsesTokensByTheirStartOnly) {
  EXPECT_EQ(CdsToDidl_ParseFilter(""), 0u);
  EXPECT_EQ(CdsToDidl_ParseFilter("*,ALLIP"), kFilterAll | kFilterAllIp);
  EXPECT_EQ(CdsToDidl_ParseFilter("dc:title, res@duration"), kFilterRes | kFilterResDuration);
  EXPECT_EQ(CdsToDidl_ParseFilter("RES@SIZE,res@protocolInfo"), 0x21000u);
  EXPECT_EQ(CdsToDidl_ParseFilter("rating,dc:creator,upnp:genre"), kFilterCreator | kFilterGenre);
  EXPECT_EQ(CdsToDidl_ParseFilter("xdc:creator,@child"), 0u);
  EXPECT_EQ(CdsToDidl_ParseFilter(",,  ,res"), kFilterRes);
  EXPECT_EQ(CdsToDidl_FilterToString(kFilterChildCount | kFilterCreator | kFilterResSize),
            "dc:creator,@childCount,res@size");
  std::string twice;
  CdsToDidl_EscapeTwice("<a>&'\"é", &twice);
  EXPECT_EQ(twice, "&amp;lt;a&amp;gt;&amp;amp;&amp;apos;&amp;quot;é");
  // Long values are looked through in blocks: marks on and beside the block edges.
  twice.clear();
  const std::string run(16, 'y');
  CdsToDidl_EscapeTwice(std::string(15, 'x') + "&" + run + "<>z\"" + run, &twice);
  EXPECT_EQ(twice, std::string(15, 'x') + "&amp;amp;" + run + "&amp;lt;&amp;gt;z&amp;quot;" + run);
  EXPECT_EQ(CdsToDidl_FormatDuration(360000), "100:00:00");
}

TEST(CdsDidlTest, WorkedExampleByteForByte) {
  const std::string head =
      "\r\n&lt;item id=&quot;1234&quot; parentID=&quot;4&quot; restricted=&quot;1&quot;&gt;"
      "\r\n&lt;dc:title&gt;A&amp;amp;B&lt;/dc:title&gt;"
      "\r\n&lt;dc:company&gt;tarnwick&lt;/dc:company&gt;";
  const std::string audio = "\r\n&lt;upnp:class&gt;object.item.audioItem&lt;/upnp:class&gt;";
  EXPECT_EQ(Didl(AudioItem(), kFilterAll), head + "\r\n&lt;dc:date&gt;2009-03-20&lt;/dc:date&gt;" +
                                               audio +
                                               "\r\n&lt;dc:creator&gt;TarnWick&lt;/dc:creator&gt;"
                                               "\r\n&lt;upnp:genre&gt;None&lt;/upnp:genre&gt;"
                                               "\r\n&lt;upnp:album&gt;Default&lt;/upnp:album&gt;"
                                               "\r\n&lt;/item&gt;");
  // Wrapped in the document and escaped once, as a plain XML document.
  std::string plain;
  ASSERT_GT(CdsToDidl_GetmediaObjectDidlEscaped(AudioItem(), true, 0, true, &plain), 0);
  EXPECT_TRUE(plain.starts_with(kDidlHeadEscaped) && plain.ends_with(kDidlTailEscaped));
  EXPECT_NE(plain.find("&lt;dc:title&gt;A&amp;B&lt;/dc:title&gt;"), std::string::npos);
  // An empty filter writes the required elements alone.
  CdsMediaObject bare = AudioItem();
  bare.date.clear();
  EXPECT_EQ(Didl(bare, 0),
            head + "\r\n&lt;dc:date&gt;&lt;/dc:date&gt;" + audio + "\r\n&lt;/item&gt;");
}

TEST(CdsDidlTest, ResourceAttributesFollowTheFilter) {
  CdsMediaObject o = AudioItem();
  CdsMediaResource res;
  res.uri = "http://h/1?a=1&b=2";
  res.protocolInfo = "http-get:*:audio/mpeg:DLNA.ORG_OP=01";
  res.bitrate = 1411200;
  res.duration = 205;
  res.size = 5000000000LL;
  res.resolutionX = 800;
  res.resolutionY = 600;
  res.nrAudioChannels = 2;
  res.protection = "p<1>";
  o.resources.push_back(res);
  std::string all = Didl(o, kFilterAll);
  EXPECT_NE(all.find("&lt;res protocolInfo=&quot;http-get:*:audio/mpeg:DLNA.ORG_OP=01&quot; "
                     "bitrate=&quot;176400&quot; duration=&quot;00:03:25&quot; "
                     "nrAudioChannels=&quot;2&quot; protection=&quot;p&amp;lt;1&amp;gt;&quot; "
                     "resolution=&quot;800x600&quot; size=&quot;5000000000&quot;&gt;"
                     "http://h/1?a=1&amp;amp;b=2&lt;/res&gt;"),
            std::string::npos)
      << all;
  std::string durationOnly = Didl(o, CdsToDidl_ParseFilter("dc:title, res@duration"));
  EXPECT_NE(
      durationOnly.find("&quot; duration=&quot;00:03:25&quot; resolution=&quot;800x600&quot;&gt;"),
      std::string::npos)
      << durationOnly;
  EXPECT_EQ(durationOnly.find("bitrate"), std::string::npos);
}

// A client that names none of the added properties, or knows only the older elements,
// sees the same item as before; asked for, they come after everything else.
TEST(CdsDidlTest, AddedPropertiesOnlyWhenAskedForAndLast) {
  CdsMediaObject o = AudioItem();
  std::string plain = Didl(o, kFilterAll);
  o.artist = "A<B";
  o.originalTrackNumber = 7;
  o.captionUri = "http://h/1/a&b.srt";
  o.captionType = "srt";
  o.albumArtUri = "http://h/1/a.jpg";
  EXPECT_EQ(Didl(o, CdsToDidl_ParseFilter("dc:creator,upnp:album,res")),
            Didl(AudioItem(), CdsToDidl_ParseFilter("dc:creator,upnp:album,res")));
  EXPECT_EQ(Didl(o, kFilterAll),
            plain.substr(0, plain.rfind("\r\n&lt;/item&gt;")) +
                "\r\n&lt;upnp:artist&gt;A&amp;lt;B&lt;/upnp:artist&gt;"
                "\r\n&lt;upnp:originalTrackNumber&gt;7&lt;/upnp:originalTrackNumber&gt;"
                "\r\n&lt;sec:CaptionInfoEx sec:type=&quot;srt&quot; "
                "xmlns:sec=&quot;http://www.sec.co.kr/&quot;&gt;http://h/1/a&amp;amp;b.srt"
                "&lt;/sec:CaptionInfoEx&gt;\r\n&lt;upnp:albumArtURI "
                "dlna:profileID=&quot;JPEG_TN&quot; xmlns:dlna=&quot;urn:schemas-dlna-org:"
                "metadata-1-0/&quot;&gt;http://h/1/a.jpg&lt;/upnp:albumArtURI&gt;"
                "\r\n&lt;/item&gt;");
  EXPECT_EQ(Didl(o, CdsToDidl_ParseFilter("upnp:originalTrackNumber")).find("upnp:artist"),
            std::string::npos);
  EXPECT_NE(Didl(o, CdsToDidl_ParseFilter("sec:CaptionInfoEx")).find("sec:CaptionInfoEx"),
            std::string::npos);
  EXPECT_NE(Didl(o, CdsToDidl_ParseFilter("upnp:albumArtURI")).find("upnp:albumArtURI"),
            std::string::npos);
}

TEST(CdsDidlTest, ValidationCodesInOrder) {
  // Each case breaks several fields; the first fault in checking order is reported.
  struct Case {
    void (*breakIt)(CdsMediaObject*);
    int code;
  } cases[] = {
      {[](CdsMediaObject* o) { o->id.clear(), o->parentID.clear(); }, kDidlErrorNoId},
      {[](CdsMediaObject* o) { o->parentID.clear(), o->title.clear(); }, kDidlErrorNoParentId},
      {[](CdsMediaObject* o) { o->title.clear(); }, kDidlErrorNoTitle},
      {[](CdsMediaObject* o) { o->mediaClass = 0; }, kDidlErrorNoClass},
      {[](CdsMediaObject* o) { o->mediaClass = kClassStorageFolder, o->refID = "1"; },
       kDidlErrorContainerRefId},
      {[](CdsMediaObject* o) { o->mediaClass = 0x0400; }, kDidlErrorObjectType},
      {[](CdsMediaObject* o) { o->mediaClass = 0x8000 | (13 << 10); }, kDidlErrorMajorClass},
      {[](CdsMediaObject* o) { o->mediaClass = 0x8000 | (13 << 6); }, kDidlErrorMinorClass},
      {[](CdsMediaObject* o) { o->mediaClass = 0x8001; }, kDidlErrorFourthLevel},
  };
  for (const Case& c : cases) {
    CdsMediaObject o = AudioItem();
    c.breakIt(&o);
    int result = 0;
    EXPECT_EQ(Didl(o, 0, &result), "") << c.code;
    EXPECT_EQ(result, c.code);
  }
}

}  // namespace
