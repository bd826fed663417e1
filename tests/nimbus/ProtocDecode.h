#pragma once
// What protoc makes of encoded bytes as a message type of our schemas.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/base/Value.h"

namespace wharf::test {

inline std::string protocDecode(const platform::Bytes& bytes, const std::string& type, const std::string& file) {
    TempDir dir;
    writeFile(dir.file("in.bin"), std::string(bytes.begin(), bytes.end()));
    std::string cmd =
        "protoc -I" WHARF_PROTO_DIR " --decode=" + type + " " + file + " < " + dir.file("in.bin") + " 2>&1";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << out;
    return out;
}

}  // namespace wharf::test
