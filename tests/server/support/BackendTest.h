#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/TestService.h"

namespace brimo::server::testing {

// Runs a suite once per store: SQLite, and the private PostgreSQL cluster of the test run.
class BackendTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (GetParam() == "postgresql" && !PostgresDatabase::available()) {
            GTEST_SKIP() << "no PostgreSQL cluster (BRIMO_TEST_POSTGRES_DIR) for this run";
        }
    }
};

inline std::string backendName(const ::testing::TestParamInfo<std::string>& info) {
    return info.param;
}

#define BRIMO_INSTANTIATE_BACKENDS(Suite)                                              \
    INSTANTIATE_TEST_SUITE_P(Stores, Suite, ::testing::Values("sqlite", "postgresql"), \
                             ::brimo::server::testing::backendName)

inline nlohmann::json bodyOf(const httplib::Result& res) {
    return nlohmann::json::parse(res->body, nullptr, false);
}

}  // namespace brimo::server::testing
