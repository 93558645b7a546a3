#pragma once
// A pseudo-terminal whose slave side stands for the device's COM port (Linux).
#include <cstdint>
#include <string>

namespace sim {

class PtyLink {
  public:
    PtyLink() = default;
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;
    ~PtyLink();

    // Opens the master (non-blocking) and keeps the slave open in raw mode, so that the
    // master never sees a hang-up while the program has the port closed.
    bool Open(std::string& error);
    // Makes `path` a symbolic link to the slave. A stale link is replaced; anything else
    // at that path is left alone and refused.
    bool LinkTo(const std::string& path, std::string& error);
    // Removes the link, if it still points to this slave.
    void Unlink();

    int master() const { return master_; }
    const std::string& slave_name() const { return slave_name_; }
    // The line speed the program has set on its side, in bits per second (0: unknown).
    int32_t Baud() const;

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_name_;
    std::string link_;
};

// Reads the speed of a tty, including rates without a Bnnn constant (e.g. 14400).
int32_t ReadTtyBaud(int fd);

}  // namespace sim
