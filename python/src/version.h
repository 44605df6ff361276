// The package version: the one place it is written. The build reads it from
// here for the wheel's metadata, and the module reports it as __version__.
#pragma once

#define AMBRIK_VERSION "1.0.0"
