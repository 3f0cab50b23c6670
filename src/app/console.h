#pragma once
// What the command-line actions tell whoever started them, when nobody may be there to see a window.
#include <string>

namespace calmlane {

// Whether a person can see this process's windows: it runs outside session 0 and its window station is the
// interactive one. A program that a deployment tool starts as SYSTEM in session 0, or a service, has
// none, and a box there would wait for ever.
bool interactiveDesktop();

// Writes `text` (lines separated by "\n") to the caller: to its standard output (standard error with
// `error`) when that is a file or a pipe, as UTF-8 with CRLF line ends; otherwise to the console of the
// process that started this one, if it has one. Nothing is written when there is neither.
void writeToCaller(const std::wstring& text, bool error = false);

// A failure message (English, as the operations throw them) on the caller's standard error, with a line end.
void reportToCaller(const char* message);

// An English message of the operations as a wide string (each byte one character).
std::wstring widened(const char* message);

// The text as UTF-8; empty when it cannot be converted.
std::string toUtf8(const std::wstring& text);

}  // namespace calmlane
