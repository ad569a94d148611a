#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace korvane::testing {

// A game session the whole-run tests replay: the demo's, the honest players of the hostile runs
// and a set of judged variants, each with legal and illegal uploads.
struct SampleSession {
    std::string what;
    // The scenario's text with "${port}" for the server's port.
    std::function<std::string()> text;
};

// Test output names a session by what it is.
inline void PrintTo(const SampleSession& session, std::ostream* out) {
    *out << session.what;
}

std::vector<SampleSession> SampleSessions();
// The session's name as a test name.
std::string SampleSessionName(const ::testing::TestParamInfo<SampleSession>& param);

}  // namespace korvane::testing
