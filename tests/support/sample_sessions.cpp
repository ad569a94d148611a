#include "tests/support/sample_sessions.h"

#include <algorithm>
#include <filesystem>

#include "tests/support/test_files.h"

namespace korvane::testing {

namespace {

std::string FileText(const std::string& relative) {
    return ReadWholeFile(std::filesystem::path(KORVANE_SOURCE_DIR) / relative);
}

}  // namespace

std::vector<SampleSession> SampleSessions() {
    return {
        {"demo session",
         [] {
             // The demo's server listens on 2300; here the stand-in's port stands in for it.
             std::string text = FileText("tools/demo/session.scenario");
             for (size_t at = 0; (at = text.find("127.0.0.1:2300", at)) != std::string::npos;) {
                 text.replace(at, 14, "127.0.0.1:${port}");
             }
             return text;
         }},
        {"honest players", [] { return FileText("tools/hostile/honest.scenario"); }},
        {"judged variants",
         [] {
             return std::string(
                 "base 1075819800\n"
                 "at +0.5 127.0.0.2:40001 > 127.0.0.1:${port} create id=2a name=Mira\n"
                 "at +2.0 127.0.0.2:40001 > 127.0.0.1:${port} upload sender=2a seq=10 "
                 "chassis=3be0001 components=813,888:376 name=Legal\n"
                 "at +4.0 127.0.0.3:40002 > 127.0.0.1:${port} create id=3b name=Jumper\n"
                 "at +5.0 127.0.0.3:40002 > 127.0.0.1:${port} upload sender=3b seq=20 "
                 "chassis=3be0001 components=888,815 pieces=3 name=Brawler\n"
                 "at +6.0 127.0.0.4:40003 > 127.0.0.1:${port} create id=4c name=Shuffler\n"
                 "at +7.0 127.0.0.4:40003 > 127.0.0.1:${port} upload sender=4c seq=65534 "
                 "chassis=3be0001 components=888,816,815 pieces=4 order=3,0,2,1 name=Shuffled\n"
                 "at +8.0 127.0.0.5:40004 > 127.0.0.1:${port} create id=5d name=Tidy\n"
                 "at +9.0 127.0.0.5:40004 > 127.0.0.1:${port} upload sender=5d seq=1 "
                 "chassis=3be0001 components=813 pieces=5 order=0,1,3,2,4 name=Swapped\n"
                 "at +16.0 127.0.0.2:40001 > 127.0.0.1:${port} chat sender=2a receiver=1 "
                 "text=still here\n");
         }},
    };
}

std::string SampleSessionName(const ::testing::TestParamInfo<SampleSession>& param) {
    std::string name = param.param.what;
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

}  // namespace korvane::testing
