// The host's demo: the whole life of a key through the control, every step checked by
// OpenSSL on the other side.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "test_support.h"

TEST(Demo, EveryStepSucceedsAndIsReported) {
    int status = -1;
    std::string out =
        testing_support::runCommand(std::string(KSCAPI_HOST_PATH) + " demo --json", &status);
    std::istringstream lines(out);
    std::vector<nlohmann::json> steps;
    for (std::string line; std::getline(lines, line);) {
        nlohmann::json j = nlohmann::json::parse(line);
        if (j.contains("step")) steps.push_back(j);
    }
    EXPECT_EQ(status, 0) << out;
    ASSERT_GE(steps.size(), 14u) << out;
    for (const auto& s : steps) {
        EXPECT_TRUE(s["ok"].get<bool>()) << s.dump();
        if (s["lastError"] != -1) {
            EXPECT_EQ(s["lastError"], 0) << s.dump();
        }
    }
}

TEST(Demo, RejectsUnknownArguments) {
    int status = -1;
    testing_support::runCommand(std::string(KSCAPI_HOST_PATH) + " demo --what 2>/dev/null",
                                &status);
    EXPECT_EQ(status, 2);
}
