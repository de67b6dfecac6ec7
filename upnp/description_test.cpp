#include "upnp/description.h"

#include <gtest/gtest.h>

#include "upnp/testing/device_test_util.h"

namespace {

using device_test::DeviceOnChain;
using device_test::Request;

// The real server's description with its escaped name and its SCPDs are read in the
// namespace tests; other paths and methods get empty errors.
TEST(DescriptionHttpTest, UnknownPathsAndMethodsGetEmptyErrors) {
  DeviceOnChain device_;
  EXPECT_EQ(device_.Exchange(Request("GET", "/index.html"), "\r\n\r\n"),
            "HTTP/1.1 404 File Not Found\r\nServer: WINDOWS, UPnP/1.0, Ferrule "
            "Lattice/1.0.1922\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(device_.Exchange(Request("GET", "/ContentDirectory/SCPD.xml"), "\r\n\r\n")
                .rfind("HTTP/1.1 404 File Not Found\r\n", 0),
            0u);
  EXPECT_EQ(device_.Exchange(Request("BREW", "/"), "\r\n\r\n"),
            "HTTP/1.1 400 Bad Request\r\nServer: WINDOWS, UPnP/1.0, Ferrule "
            "Lattice/1.0.1922\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(device_.Exchange(Request("get", "/"), "\r\n\r\n").rfind("HTTP/1.1 400 Bad Request", 0),
            0u)
      << "methods are compared case-sensitively";
}

}  // namespace
