#pragma once

#include "platform/bundle.h"
#include "platform/tool_runner.h"

namespace kestralune {

// Makes the running program the desktop's handler for the URL schemes its bundle declares
// (Info.plist "CFBundleURLTypes" / "CFBundleURLSchemes"), so that a link of one of them
// opened anywhere starts `bundle.executablePath` with the link as its argument, which a
// second start hands to the running instance.
//
// The desktop entry "<Application Support>/applications/<bundle identifier>.desktop" names
// the executable and the schemes (lower-cased; names that are not URL schemes are skipped).
// Only when the entry on disk differs is it rewritten, and then made the schemes' default
// handler with xdg-mime (when it is on PATH) through `toolRunner`; an unchanged entry leaves
// the user's own choice of handler alone. Without schemes or an executable nothing is done.
// Failures are logged, one line each, and never stop the caller. Main thread; blocks while
// xdg-mime runs.
void registerUrlSchemeHandler(const Bundle& bundle, ToolRunner& toolRunner);

}  // namespace kestralune
