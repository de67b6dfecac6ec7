// Any bytes as a SOAP request: the first line is the SOAPACTION value, the rest the
// body. Extraction must either fail with a fault code or return one value per name, each
// a piece of the body.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/testing/fuzz_check.h"
#include "upnp/escape.h"
#include "upnp/soap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t newline = input.find('\n');
  std::string_view soapAction = newline == std::string::npos
                                    ? std::string_view()
                                    : std::string_view(input).substr(0, newline);
  std::string body = newline == std::string::npos ? input : input.substr(newline + 1);
  std::string_view action = UpnpSoap_ActionName(soapAction);
  FuzzCheck(action.size() <= soapAction.size());
  if (action.empty()) action = "Browse";

  const std::vector<std::string_view> names = {"ObjectID",      "BrowseFlag",     "Filter",
                                               "StartingIndex", "RequestedCount", "SortCriteria"};
  std::vector<std::string> values;
  int result = UpnpSoap_ExtractArguments(body, action, names, &values);
  FuzzCheck(result == 0 || result == 402 || result == 501);
  if (result != 0) return 0;
  FuzzCheck(values.size() == names.size());
  for (std::string& value : values) {
    FuzzCheck(value.empty() || body.find(value) != std::string::npos);
    size_t before = value.size();
    FLibXml_UnescapeInPlace(&value);
    FuzzCheck(value.size() <= before);
  }
  return 0;
}
