#ifndef EXITCODE_H
#define EXITCODE_H

// What the program's exit status tells a script, the same in every mode.
namespace exitcode {

constexpr int kSuccess = 0;        // every device did what was asked
constexpr int kDeviceFailed = 1;   // at least one device failed, the others finished
constexpr int kUsage = 2;          // bad options, or a refused device address
constexpr int kConnection = 3;     // port taken, adapter missing, no single adapter
constexpr int kImagesUnfit = 4;    // an image cannot be sent; nothing was sent
constexpr int kInterrupted = 130;  // Ctrl+C, SIGTERM or SIGHUP

} // namespace exitcode

#endif // EXITCODE_H
