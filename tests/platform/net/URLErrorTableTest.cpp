#include "platform/net/URLSession.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>

namespace vx {
namespace {

struct Case {
  int curl;
  int osErrno;
  std::int64_t expected;
};

TEST(URLErrorTable, MapsTransportFailuresToPlatformCodes) {
  const Case cases[] = {
      {CURLE_OPERATION_TIMEDOUT, 0, kURLErrorTimedOut},
      {CURLE_COULDNT_RESOLVE_HOST, 0, kURLErrorCannotFindHost},
      {CURLE_COULDNT_CONNECT, ECONNREFUSED, kURLErrorCannotConnectToHost},
      {CURLE_COULDNT_CONNECT, 0, kURLErrorCannotConnectToHost},
      {CURLE_COULDNT_CONNECT, ENETUNREACH, kURLErrorNotConnectedToInternet},
      {CURLE_COULDNT_CONNECT, ENETDOWN, kURLErrorNotConnectedToInternet},
      {CURLE_GOT_NOTHING, 0, kURLErrorNetworkConnectionLost},
      {CURLE_PARTIAL_FILE, 0, kURLErrorNetworkConnectionLost},
      {CURLE_RECV_ERROR, ECONNRESET, kURLErrorNetworkConnectionLost},
      {CURLE_SEND_ERROR, EPIPE, kURLErrorNetworkConnectionLost},
      {CURLE_SSL_CONNECT_ERROR, 0, kURLErrorSecureConnectionFailed},
      {CURLE_PEER_FAILED_VERIFICATION, 0, kURLErrorServerCertificateUntrusted},
      {CURLE_SSL_ISSUER_ERROR, 0, kURLErrorServerCertificateHasUnknownRoot},
      {CURLE_SSL_CERTPROBLEM, 0, kURLErrorClientCertificateRejected},
      {CURLE_SSL_CLIENTCERT, 0, kURLErrorClientCertificateRequired},
      {CURLE_SSL_ENGINE_INITFAILED, 0, kURLErrorCannotLoadFromNetwork},
      {CURLE_SSL_SHUTDOWN_FAILED, 0, kURLErrorCannotLoadFromNetwork},
      {CURLE_ABORTED_BY_CALLBACK, 0, kURLErrorCancelled},
      {CURLE_URL_MALFORMAT, 0, kURLErrorBadURL},
      {CURLE_UNSUPPORTED_PROTOCOL, 0, kURLErrorUnsupportedURL},
      {CURLE_TOO_MANY_REDIRECTS, 0, kURLErrorUnknown},
      {CURLE_BAD_CONTENT_ENCODING, 0, kURLErrorUnknown},
      {CURLE_WRITE_ERROR, 0, kURLErrorUnknown},
  };
  for (const auto& c : cases) {
    const Error error = urlErrorForCurlCode(c.curl, c.osErrno);
    EXPECT_EQ(error.domain, "NSURLErrorDomain") << c.curl;
    EXPECT_EQ(error.code, c.expected) << "curl " << c.curl << " errno " << c.osErrno;
    EXPECT_FALSE(error.description.empty());
    EXPECT_EQ(error.userInfo.value("curlCode", -1), c.curl);
    EXPECT_FALSE(error.userInfo.value("curlMessage", std::string()).empty());
  }
}

TEST(URLErrorTable, TLSCodesStayInTheirRange) {
  for (int code : {CURLE_SSL_CONNECT_ERROR, CURLE_SSL_CIPHER, CURLE_PEER_FAILED_VERIFICATION, CURLE_SSL_CACERT_BADFILE,
                   CURLE_SSL_CRL_BADFILE, CURLE_SSL_PINNEDPUBKEYNOTMATCH, CURLE_SSL_INVALIDCERTSTATUS,
                   CURLE_USE_SSL_FAILED, CURLE_SSL_ENGINE_NOTFOUND}) {
    const auto mapped = urlErrorForCurlCode(code).code;
    EXPECT_TRUE((mapped <= -1200 && mapped >= -1206) || mapped == -2000) << code << " -> " << mapped;
  }
}

TEST(URLErrorTable, KeepsCurlTextAndErrno) {
  const Error error = urlErrorForCurlCode(CURLE_COULDNT_CONNECT, ECONNREFUSED, "Failed to connect");
  EXPECT_EQ(error.userInfo["curlMessage"], "Failed to connect");
  EXPECT_EQ(error.userInfo["errno"], ECONNREFUSED);
  EXPECT_EQ(urlCancelledError().code, -999);
  EXPECT_EQ(urlCancelledError().domain, kURLErrorDomain);
}

TEST(HTTPHeaderFields, CaseInsensitiveAndRepeatable) {
  HTTPHeaderFields fields{{"Content-Type", "text/plain"}};
  EXPECT_EQ(fields.value("content-type"), "text/plain");
  fields.add("Set-Cookie", "a=1");
  fields.add("set-cookie", "b=2");
  EXPECT_EQ(fields.value("SET-COOKIE"), "a=1");
  EXPECT_EQ(fields.combinedValue("Set-Cookie"), "a=1, b=2");
  fields.set("SET-cookie", "c=3");
  EXPECT_EQ(fields.combinedValue("set-cookie"), "c=3");
  EXPECT_EQ(fields.all()[1].first, "Set-Cookie") << "keeps the first spelling";
  fields.remove("CONTENT-TYPE");
  EXPECT_FALSE(fields.contains("Content-Type"));
  EXPECT_FALSE(fields.value("Missing"));
  EXPECT_EQ(fields.size(), 1u);
}

}  // namespace
}  // namespace vx
