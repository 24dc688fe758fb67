#pragma once

#include "App/QuillmereApp.h"

class QApplication;

namespace quillmere {

// The program's whole run inside an application object: claims the single instance (a later
// start forwards its address and returns 0 when the instance took it), builds the application
// with the options (the router is its own), quits on SIGTERM, SIGINT and SIGHUP, and returns
// the exit code. The quillmere program calls it with the desktop's defaults.
int runQuillmere(QApplication &application, QuillmereAppOptions options = {});

// The first thing main() does, before anything can open a file or write: a write to a standard
// error whose reader has gone fails instead of killing the process (SIGPIPE is ignored), and
// each of descriptors 0 to 2 that was closed at start is /dev/null, so that no file the program
// opens later takes its number and gets the log lines.
void prepareStandardStreams();

} // namespace quillmere
