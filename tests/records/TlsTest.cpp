// The line's server as it should be run: TLS only, a password for the station's role. Started
// by tests/records/with-pg-server.sh --tls beside this program (under Wine for the Windows
// build, whose libpq must then bring TLS of its own): a record goes in and comes back over TLS,
// and the same location in clear text is refused, so TLS was what carried it.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "RecordsTestUtil.h"
#include "records/RecordStore.h"

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value)
    throw std::runtime_error(std::string(name) +
                             " is not set: run under tests/records/with-pg-server.sh --tls");
  return value;
}

std::string PercentEscaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", c);
      out += escape;
    }
  }
  return out;
}

std::string LineLocation(const std::string& sslmode) {
  return "postgresql://tuner:" + PercentEscaped(Env("TPTUNE_TEST_PG_PASSWORD")) +
         "@127.0.0.1:" + Env("TPTUNE_TEST_PG_PORT") + "/line?sslmode=" + sslmode;
}

TEST(Tls, ARecordGoesToTheLineServerAndBackOverTlsAndClearTextIsRefused) {
  // The connection the store makes is encrypted, by OpenSSL.
  {
    std::unique_ptr<PGconn, decltype(&PQfinish)> c(PQconnectdb(LineLocation("require").c_str()),
                                                   &PQfinish);
    ASSERT_EQ(PQstatus(c.get()), CONNECTION_OK) << PQerrorMessage(c.get());
    EXPECT_EQ(PQsslInUse(c.get()), 1);
    const char* library = PQsslAttribute(c.get(), "library");
    EXPECT_STREQ(library ? library : "(none)", "OpenSSL");
  }

  TTuningRecord r = SampleRecord("tls-1", "00C0FFEE", 2, kRecordCompleted,
                                 "2026-12-11T10:00:00.000Z");
  {
    auto store = OpenRecordStore(LineLocation("require"), TStoreOpen::kCreate);
    r.Id = store->Add(r);
  }
  auto store = OpenRecordStore(LineLocation("require"), TStoreOpen::kExisting);
  const auto back = store->Get(r.Id);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, r);

  // Without TLS the server turns the same role away, and the message keeps the password hidden.
  try {
    OpenRecordStore(LineLocation("disable"), TStoreOpen::kExisting);
    ADD_FAILURE() << "a connection in clear text was let in";
  } catch (const ERecordError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("no encryption"), std::string::npos) << text;
    const std::string password = Env("TPTUNE_TEST_PG_PASSWORD");
    EXPECT_EQ(text.find(password.substr(0, password.find('@'))), std::string::npos) << text;
  }
}

}  // namespace
