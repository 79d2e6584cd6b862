// stream_recorder HOST PORT FILE.wav [SECONDS]
//
// Connects to the bridge's TCP audio server and records what it serves: frames
// of 2000 bytes, two A-law channels interleaved byte by byte, the received
// (remote) audio first in each pair. The WAV file keeps that order: the left
// channel is the remote party, the right channel the local microphone. Stops
// after SECONDS (default: until the bridge closes the connection or Ctrl+C).

#include <asio.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "wav_writer.h"

int main(int Argc, char** Argv) {
  if (Argc < 4) {
    std::fprintf(stderr, "usage: %s HOST PORT FILE.wav [SECONDS]\n", Argv[0]);
    return 2;
  }
  const std::string Host = Argv[1], Port = Argv[2], Path = Argv[3];
  const double Seconds = Argc > 4 ? std::atof(Argv[4]) : 0.0;
  try {
    asio::io_context Io;
    asio::ip::tcp::socket Socket(Io);
    asio::connect(Socket, asio::ip::tcp::resolver(Io).resolve(Host, Port));
    TWavWriter Wav(Path, 2);
    if (!Wav.Ok()) {
      std::fprintf(stderr, "cannot write %s\n", Path.c_str());
      return 1;
    }
    asio::signal_set Signals(Io, SIGINT, SIGTERM);
    Signals.async_wait([&](const std::error_code&, int) { Socket.close(); });
    asio::steady_timer Timer(Io);
    if (Seconds > 0) {
      Timer.expires_after(std::chrono::milliseconds(static_cast<long long>(Seconds * 1000)));
      Timer.async_wait([&](const std::error_code& Ec) {
        if (!Ec) Socket.close();
      });
    }
    std::array<char, 4000> Buf;
    std::function<void(const std::error_code&, size_t)> OnRead = [&](const std::error_code& Ec, size_t N) {
      if (N) Wav.Write(Buf.data(), N);
      if (Ec) {
        Signals.cancel();
        Timer.cancel();
        return;
      }
      Socket.async_read_some(asio::buffer(Buf), OnRead);
    };
    Socket.async_read_some(asio::buffer(Buf), OnRead);
    Io.run();
    Wav.Close();
    std::printf("%llu bytes, %.2f s of two-channel audio in %s\n", static_cast<unsigned long long>(Wav.DataBytes()),
                static_cast<double>(Wav.DataBytes()) / 16000.0, Path.c_str());
    return 0;
  } catch (const std::exception& E) {
    std::fprintf(stderr, "stream_recorder: %s\n", E.what());
    return 1;
  }
}
