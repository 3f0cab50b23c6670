#pragma once
// The control pipe's protocol as both ends speak it: the pipe's name, the rights a client opens it with,
// the words and how long each may be. Free of <windows.h>, so the session rules built natively use it too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace calmlane {

// The control pipe's name is this base, a dot and 32 random lower-case hexadecimal digits, drawn afresh at
// each start of the service and published in HKLM "ControlPipe" once the pipe exists.
inline constexpr const wchar_t* PipeName = L"\\\\.\\pipe\\Calmlane.Native.Control";

namespace pipe {

inline constexpr std::size_t RandomBytes = 16;
// The name made of 16 random bytes.
std::wstring name(const unsigned char (&random)[RandomBytes]);
// Whether a text is such a name.
bool isName(std::wstring_view path);

// Interactive users may read and write the pipe, but not create instances of its name
// (FILE_GENERIC_READ | FILE_GENERIC_WRITE without FILE_APPEND_DATA and FILE_WRITE_EA); a client opens it
// with exactly these rights.
inline constexpr std::uint32_t ClientAccess = 0x12018B;
inline constexpr const wchar_t* Sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12018b;;;IU)";

// One message is one word, without terminator. The client's words:
inline constexpr std::string_view Start = "START";  // cut the network for me; answered
inline constexpr std::string_view Alive = "ALIVE";  // the heartbeat, at least every 4 s
inline constexpr std::string_view Stop = "STOP";    // the saver ends
// The service's reply to "START", its only word:
inline constexpr std::string_view Ok = "OK";
inline constexpr std::string_view Error = "ERROR";

// The service reads at most this many bytes of a message: a longer one fails its read (234).
inline constexpr std::size_t MessageLimit = 31;
// The client reads at most this many bytes of a reply.
inline constexpr std::size_t ReplyLimit = 15;

}  // namespace pipe
}  // namespace calmlane
