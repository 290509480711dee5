// The texts of a recording's header (identification, user and computer
// names) as the program shows them. The acquisition program writes them in
// the writing system's ANSI code page; newer ones may write UTF-8. A text
// that is well-formed UTF-8 is taken as it is, any other through the code
// page chosen per user (default Windows-1251), so that "\xC8\xE2\xE0\xED\xEE\xE2"
// shows as "\u0418\u0432\u0430\u043D\u043E\u0432".
#pragma once

#include <string>
#include <vector>

// The code pages a header may be decoded with: "windows-1251" (Cyrillic,
// the default), "windows-1252" (Western European).
const std::vector<std::string>& HeaderCodePages();
inline const char* const kDefaultHeaderCodePage = "windows-1251";

// `raw` as UTF-8: unchanged when it is well-formed UTF-8, else each byte
// through `codePage` (an unknown name: the default); a byte the code page
// leaves undefined becomes U+FFFD.
std::string DecodeHeaderText(const std::string& raw, const std::string& codePage = kDefaultHeaderCodePage);

// The per-user choice, kept apart from the settings file (whose binary
// layout stays as it is): the first line of "header-codepage.txt" in the
// per-user settings folder ($XDG_CONFIG_HOME/ratelog/, default
// ~/.config/ratelog/). The default when the file is missing or names no
// known code page.
std::string HeaderCodePagePath(const char* xdgConfigHome, const char* home);
std::string ChosenHeaderCodePage(const std::string& path);
// The choice for this user, from the environment's folders.
std::string UserHeaderCodePage();
