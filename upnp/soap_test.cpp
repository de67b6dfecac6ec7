#include "upnp/soap.h"

#include <gtest/gtest.h>

#include <mutex>

#include "upnp/testing/device_test_util.h"

namespace {

using device_test::DeviceOnChain;
using device_test::Request;

std::string Envelope(const std::string& action, const std::string& arguments) {
  return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
         "<s:Body><u:" +
         action + " xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">" + arguments +
         "</u:" + action + "></s:Body></s:Envelope>";
}

std::string BrowseArguments(const std::string& flag = "BrowseDirectChildren",
                            const std::string& start = "0", bool withSort = true) {
  return "<ObjectID>a&amp;b</ObjectID><BrowseFlag>" + flag +
         "</BrowseFlag><Filter>*</Filter><StartingIndex>" + start +
         "</StartingIndex><RequestedCount>25</RequestedCount>" +
         (withSort ? "<SortCriteria>+dc:title</SortCriteria>" : "");
}

std::string FaultResponse(int code, const std::string& text) {
  std::string envelope =
      "<s:Envelope\r\n xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><s:Fault>"
      "<faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail><UPnPError "
      "xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
      std::to_string(code) + "</errorCode><errorDescription>" + text +
      "</errorDescription></UPnPError></detail></s:Fault></s:Body></s:Envelope>";
  return "HTTP/1.1 500 Internal\r\nContent-Length: " + std::to_string(envelope.size()) +
         "\r\n\r\n" + envelope;
}

struct BrowseCall {
  std::string ObjectId, Sort;
  uint32_t Count = 0;
  int Calls = 0;
};

class SoapDispatchTest : public ::testing::Test {
 protected:
  SoapDispatchTest() : device_(Actions()) {}
  UpnpLatticeActions Actions() {
    UpnpLatticeActions actions;
    actions.Browse = [this](FLibWebSession* s, const char* id, const char*, const char*, uint32_t,
                            uint32_t count, const char* sort) {
      {
        std::lock_guard lock(mutex_);
        browse_ = {id, sort, count, browse_.Calls + 1};
      }
      UpnpLattice_SendResponse(s, kContentDirectoryServiceType, "Browse", "");
    };
    actions.GetCurrentConnectionInfo = [this](FLibWebSession* s, int32_t id) {
      connectionId_ = id;
      UpnpLattice_Response_GetCurrentConnectionInfo(s, -1, -1, "", "", -1, "Output", "OK");
    };
    return actions;
  }

  std::string Post(const std::string& path, const std::string& soapAction,
                   const std::string& body) {
    return device_.ExchangeWhole(Request("POST", path, "SOAPACTION: " + soapAction + "\r\n", body));
  }
  std::string PostBrowse(const std::string& arguments) {
    return Post("/ContentDirectory/control",
                "\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"",
                Envelope("Browse", arguments));
  }

  std::mutex mutex_;
  BrowseCall browse_;
  std::atomic<int32_t> connectionId_{0};
  DeviceOnChain device_;
};

// Browse with every argument right is every real client's call; here its arguments arrive
// unescaped, a signed connection number is taken, and each fault has its code and text.
TEST_F(SoapDispatchTest, ArgumentsAreUnescapedAndFaultsCarryCodeAndText) {
  PostBrowse(BrowseArguments());
  Post("/ConnectionManager/control", "\"x#GetCurrentConnectionInfo\"",
       Envelope("GetCurrentConnectionInfo", "<ConnectionID>-7</ConnectionID>"));
  EXPECT_EQ(connectionId_.load(), -7);
  {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(browse_.ObjectId + " " + browse_.Sort + " " + std::to_string(browse_.Count),
              "a&b +dc:title 25");
  }
  const std::string cd = "/ContentDirectory/control", cm = "/ConnectionManager/control";
  const std::string browse = "\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"";
  const std::string invalid = FaultResponse(401, "Invalid Action");
  const struct {
    std::string Path, Action, Body, Fault;
  } cases[] = {
      // An unquoted SOAPACTION loses its last letter.
      {cd, browse.substr(1, browse.size() - 2), Envelope("Browse", BrowseArguments()), invalid},
      {cd + "/", browse, Envelope("Browse", BrowseArguments()), invalid},
      {cd, "\"x#browse\"", "", invalid},
      {cm, "\"x#GetProtocolInfo\"", "", invalid},  // an action without a callback
      {cd, browse, Envelope("Browse", BrowseArguments("BrowseDirectChildren", "0", false)),
       FaultResponse(402, "Incorrect Arguments")},
      {cd, browse, Envelope("Browse", BrowseArguments("browsemetadata")),
       FaultResponse(402, "Argument[BrowseFlag] contains a value that is not in AllowedValueList")},
      {cd, browse, Envelope("Browse", BrowseArguments("BrowseMetadata", "-1")),
       FaultResponse(402, "Argument[StartingIndex] illegal value")},
      {cd, browse, "<Envelope><Body><Browse></Body>", FaultResponse(501, "Invalid XML")},
      {cm, "\"x#GetCurrentConnectionInfo\"",
       Envelope("GetCurrentConnectionInfo", "<ConnectionID>1.5</ConnectionID>"),
       FaultResponse(402, "Argument[ConnectionID] illegal value")},
  };
  for (const auto& c : cases) EXPECT_EQ(Post(c.Path, c.Action, c.Body), c.Fault) << c.Body;
  std::lock_guard lock(mutex_);
  EXPECT_EQ(browse_.Calls, 1) << "no faulted call reached the callback";
}

}  // namespace
