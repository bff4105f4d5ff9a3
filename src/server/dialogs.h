#pragma once
// POST /api/pick and POST /api/reveal: the desktop's own file and folder dialogs, and the file
// manager opened where a result lies. Both start a desktop program with an argument list,
// never through a shell. Without a graphical session, or without the program, both fail with a
// message the page shows, so the person knows to type the path or open the folder.
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "util/json.h"

namespace tsl {

// How long a dialog may stay open before it is closed as cancelled.
inline constexpr int PICK_TIMEOUT_MS = 30 * 60 * 1000;

// The dialog program's arguments for a "kind" ("dir", "files", "save", "report"; any other
// text acts like "files") starting in `initial` (a folder, or a file, or empty).
std::vector<std::string> pick_argv(const std::string& kind, const std::string& initial);

// The dialog's printed choice as the reply's path: trimmed, several files joined with "|",
// and a save name without an extension given ".tif".
std::string pick_result(const std::string& kind, const std::string& printed);

// The folder the file manager opens for `path`: an existing folder itself, else its parent
// folder (a file's own folder), or the path when it has no parent. Relative paths are taken
// from the server's working folder.
std::string reveal_folder(const std::string& path);

inline constexpr std::string_view NO_DESKTOP_DIALOG = "no desktop session for a file dialog: type the path instead";
inline constexpr std::string_view NO_DIALOG_PROGRAM = "the file dialog (zenity) is not installed: type the path instead";

// {"path": text}, "" for a cancelled dialog. Errors: NO_DESKTOP_DIALOG, NO_DIALOG_PROGRAM.
std::expected<JsonValue, std::string> api_pick(const JsonValue& body);
// {"ok": true} once the file manager was started on reveal_folder(path). Errors: "no desktop
// session to show files in: the folder is {}", "xdg-open is not installed: the folder is {}".
std::expected<JsonValue, std::string> api_reveal(const JsonValue& body);

}  // namespace tsl
