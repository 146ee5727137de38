// tcp-capture DIR
//
// Stands in for the printer's raw port on loopback: listens on
// 127.0.0.1 at a free port, writes the port number to DIR/port, and stores
// the bytes of the N-th connection in DIR/conn-N.prn (one job each, as the
// socket backend connects once per job).  While DIR/close-after holds a
// number, connections are dropped after that many bytes, as a printer that
// goes away.  While DIR/reset-at-end exists, a connection the job has
// ended is reset instead of closed, as a printer that fails after the last
// byte.  A connection accepted while DIR/read-rate holds a number is read
// at that many bytes a second; while DIR/stall exists, it is not read at
// all until the file goes.  Runs until killed.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tcp-capture DIR\n");
    return 2;
  }
  std::string dir = argv[1];
  int s = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) || listen(s, 4)) {
    std::perror("tcp-capture");
    return 1;
  }
  socklen_t len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);

  // Written to a temporary name first, so that a reader never sees half.
  std::string port_tmp = dir + "/port.tmp";
  std::FILE* pf = std::fopen(port_tmp.c_str(), "w");
  if (!pf) return 1;
  std::fprintf(pf, "%d\n", ntohs(addr.sin_port));
  std::fclose(pf);
  std::rename(port_tmp.c_str(), (dir + "/port").c_str());

  for (int n = 1;; ++n) {
    int c = accept(s, nullptr, nullptr);
    if (c < 0) continue;
    std::string part = dir + "/conn-" + std::to_string(n) + ".part";
    std::FILE* f = std::fopen(part.c_str(), "wb");
    char buf[65536];
    ssize_t got;
    auto number = [&](const char* name) {
      long value = -1;
      if (std::FILE* lf = std::fopen((dir + "/" + name).c_str(), "r")) {
        if (std::fscanf(lf, "%ld", &value) != 1) value = -1;
        std::fclose(lf);
      }
      return value;
    };
    long limit = number("close-after"), rate = number("read-rate"), total = 0;
    const std::string stall = dir + "/stall";
    while (std::FILE* sf = std::fopen(stall.c_str(), "r")) {
      std::fclose(sf);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Flushed as it comes, so that a test can read a connection still open.
    std::size_t chunk = rate > 0 ? static_cast<std::size_t>(rate) / 10 + 1 : sizeof buf;
    while ((limit < 0 || total < limit) && (got = read(c, buf, std::min(chunk, sizeof buf))) > 0) {
      std::fwrite(buf, 1, static_cast<std::size_t>(got), f);
      std::fflush(f);
      total += got;
      if (rate > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::fclose(f);
    if (std::FILE* rf = std::fopen((dir + "/reset-at-end").c_str(), "r")) {
      std::fclose(rf);
      linger reset = {1, 0};
      setsockopt(c, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(c);
    std::rename(part.c_str(), (dir + "/conn-" + std::to_string(n) + ".prn").c_str());
  }
}
