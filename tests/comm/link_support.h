// The far ends of the links under test: a pseudo-terminal master standing in
// for a serial module, a TCP listener standing in for a device server.
#ifndef QOR_TESTS_COMM_LINK_SUPPORT_H
#define QOR_TESTS_COMM_LINK_SUPPORT_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qor::test {

// A pseudo-terminal pair; the test keeps the master, the library opens the
// slave by its path.
class Pty {
  public:
    Pty();
    ~Pty() { CloseMaster(); }
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    int Master() const { return master_; }
    const std::string &Slave() const { return slave_; }
    void CloseMaster();  // hangs up the slave side

  private:
    int master_ = -1;
    std::string slave_;
};

// A listener on 127.0.0.1 whose one queue place is taken by a connection
// nobody accepts: further SYNs are dropped, and a connect never completes,
// as with a host that does not answer.
class Blackhole {
  public:
    Blackhole();
    ~Blackhole();
    Blackhole(const Blackhole &) = delete;
    Blackhole &operator=(const Blackhole &) = delete;

    unsigned Port() const { return port_; }

  private:
    int listener_ = -1;
    int queued_ = -1;
    unsigned port_ = 0;
};

class TcpListener {
  public:
    explicit TcpListener(unsigned port = 0);  // 127.0.0.1, ephemeral port when 0
    ~TcpListener() { Close(); }
    TcpListener(const TcpListener &) = delete;
    TcpListener &operator=(const TcpListener &) = delete;

    unsigned Port() const { return port_; }
    std::string Target(const std::string &settings = "") const;
    int Accept(int wait_ms = 2000);  // the connection, or -1
    void Close();
    // Connections accepted from now on take in only a little (the kernel's
    // smallest receive buffer), so that a server that stops reading stalls
    // the client's writes soon.
    void ShrinkReceiveBuffer() const;

  private:
    int fd_ = -1;
    unsigned port_ = 0;
};

long long NowMs();
// Polls `done` until it holds or 2 s passed; returns its last answer.
bool WaitFor(const std::function<bool()> &done);
// Until the client's kernel has acknowledged the bytes written on `server`
// (they are then in the library's receive queue).
bool WaitDelivered(int server);
// Shuts `server` down and waits until the client has acknowledged the
// close, so that the client can no longer miss it; then closes it.
void CloseAcknowledged(int server);

std::string ReadBytes(int fd, std::size_t count);  // exactly count, unless 2 s pass
std::string ReadOnce(int fd);                      // what one read() gives
std::string ReadLine(int fd);                      // up to and including CR
bool NothingMore(int fd);
void WriteAll(int fd, const std::string &bytes);

// A com port server (RFC 2217) played on a TcpListener: what it does with
// a client's negotiation.
struct ComPortScript {
    bool refuse_com_port = false;  // DONT instead of DO
    bool hang_up = false;          // closes once the client has spoken
    int ignored = 0;               // a com port command left unanswered
    std::string baud_answer;       // answered to SET-BAUDRATE, if not the value asked
};

// IAC SB com-port `command` value IAC SE, with the value's IACs doubled.
std::string ComPortAnswer(unsigned char command, const std::string &value);
// The com port requests in what a client sent: command and value, in order.
std::vector<std::pair<int, std::string>> ComPortRequests(const std::string &raw);
// Accepts a connection and plays the server's side of an open: a greeting
// with options of its own, the com port option, an answer to each request
// (waits for the four settings and the purge). Returns the connection (-1
// when none, or hung up) and leaves what the client sent in *heard.
int PlayComPortServer(TcpListener *listener, const ComPortScript &script, std::string *heard);

// QOR_WriteByte for every character; true when every call returned 1.
bool SendFrame(int port, const std::string &frame);
// QOR_ReadByte up to and including CR, or until -1.
std::string ReceiveReply(int port);

}  // namespace qor::test

#endif  // QOR_TESTS_COMM_LINK_SUPPORT_H
