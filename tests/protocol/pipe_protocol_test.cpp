// The control pipe's name, as the service makes it and the saver recognises it.
#include "protocol/pipe_protocol.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace calmlane {
namespace {

// The fixed base, a dot and the 16 random bytes as 32 lower-case hexadecimal digits; nothing else is one.
TEST(PipeProtocol, ANameIsTheBaseAndThirtyTwoLowerCaseHexDigits) {
    unsigned char random[pipe::RandomBytes];
    for (unsigned i = 0; i < pipe::RandomBytes; ++i) random[i] = static_cast<unsigned char>(i * 16 + 15 - i);
    const std::wstring name = pipe::name(random);
    EXPECT_EQ(name, L"\\\\.\\pipe\\Calmlane.Native.Control.0f1e2d3c4b5a69788796a5b4c3d2e1f0");
    EXPECT_TRUE(pipe::isName(name));
    const std::wstring base = PipeName, digits = L"f1e2d3c4b5a69788796a5b4c3d2e1f0";
    const std::initializer_list<std::wstring> others = {
        base, base + L".0" + digits.substr(1), name + L"0", base + L".0F" + digits.substr(1), base + L".0g" + digits.substr(1),
        L"\\\\server\\pipe\\Calmlane.Native.Control.0" + digits, L"\\\\.\\pipe\\Calmlane.Native.Contro1.0" + digits};
    for (const std::wstring& text : others) {
        EXPECT_FALSE(pipe::isName(text)) << std::string(text.begin(), text.end());
    }
}

}  // namespace
}  // namespace calmlane
