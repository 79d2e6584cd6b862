#pragma once
// A private PulseAudio server for a test program, run by pulse_server.sh in a
// folder of its own; the commands are those of the script.

#include <string>

namespace PulseTest {

// The server's folder as the script sees it; empty when this program cannot
// have a server (the test is then skipped). Called once, before any audio call.
std::string PrepareServerDir();

// Runs a command of the script and waits for it; true when it succeeded.
bool Command(const std::string& Dir, const std::string& Name, const std::string& Arg = "");

// A path in the server's folder as this program opens it.
std::string LocalPath(const std::string& Dir, const std::string& Name);
// The same path as the script sees it.
inline std::string ScriptPath(const std::string& Dir, const std::string& Name) { return Dir + "/" + Name; }

// What the system's driver does under the server. Natively (ALSA) every byte
// played reaches the earphone in order, and a headset that goes away ends the
// device's streams with errors. Wine's driver drops audio at the start of a
// stream and fills underruns with silence, and keeps a stream whose device has
// gone as if nothing happened; its capture loses a piece of the microphone's
// audio when its reader falls behind (seen with the machine under load).
extern const bool PlaybackArrivesWhole;
extern const bool CaptureArrivesWhole;
extern const bool LossIsReported;

}  // namespace PulseTest
