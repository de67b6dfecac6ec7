#include "controlpoint/upnp_http_get.h"

#include <upnp.h>

namespace controlpoint {

UpnpHttpGet::~UpnpHttpGet() {
  if (handle_ != nullptr) UpnpCloseHttpConnection(handle_);
}

int UpnpHttpGet::Open(const std::string& url, const std::string& headers, int timeoutSeconds,
                      int* httpStatus) {
  *httpStatus = 0;
  int rc = UpnpOpenHttpConnection(url.c_str(), &handle_, timeoutSeconds);
  if (rc == UPNP_E_SOCKET_ERROR) {
    // The library hands back a handle whose socket field was never set when it could not
    // create the socket; closing it would close whatever descriptor that field names.
    // Losing the small handle is the lesser harm.
    handle_ = nullptr;
    return rc;
  }
  // Every call is checked: after a failed one the handle must not be used again.
  if (rc != UPNP_E_SUCCESS) return rc;
  if (handle_ == nullptr) return UPNP_E_INTERNAL_ERROR;
  UpnpString* text = UpnpString_new();
  if (text == nullptr) return UPNP_E_OUTOF_MEMORY;
  UpnpString_set_StringN(text, headers.data(), headers.size());
  rc = UpnpMakeHttpRequest(UPNP_HTTPMETHOD_GET, url.c_str(), handle_, text, nullptr, 0,
                           timeoutSeconds);
  UpnpString_delete(text);
  if (rc != UPNP_E_SUCCESS) return rc;
  rc = UpnpEndHttpRequest(handle_, timeoutSeconds);
  if (rc != UPNP_E_SUCCESS) return rc;
  char* contentType = nullptr;  // belongs to the handle
  int contentLength = 0;
  return UpnpGetHttpResponse(handle_, nullptr, &contentType, &contentLength, httpStatus,
                             timeoutSeconds);
}

int UpnpHttpGet::Read(char* buffer, size_t* size, int timeoutSeconds) {
  return UpnpReadHttpResponse(handle_, buffer, size, timeoutSeconds);
}

}  // namespace controlpoint
