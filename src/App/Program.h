#pragma once

#include "App/QuillmereApp.h"

class QApplication;

namespace quillmere {

// The program's whole run inside an application object: claims the single instance (a later
// start forwards its address and returns 0 when the instance took it), builds the application
// with the options (the router is its own), quits on SIGTERM, SIGINT and SIGHUP, and returns
// the exit code. The quillmere program calls it with the desktop's defaults.
int runQuillmere(QApplication &application, QuillmereAppOptions options = {});

} // namespace quillmere
