// A private agent set-up for the SNMP tests: a temporary folder with the
// agent's configuration file (listening on a free high UDP port of
// 127.0.0.1, a read community) and its persistent folder, and snmpget /
// snmpwalk run as real processes against it.
#pragma once

#include <netinet/in.h>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "tests/fixtures/tmpdir.h"

namespace kxtest {

// A UDP port of 127.0.0.1 that is free at the moment of the call.
inline int free_udp_port() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return -1;
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

inline std::string run_command(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return "<popen failed>";
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

class SnmpSandbox {
 public:
  // Writes AGENT.conf for the agent name given; the process environment
  // points the library at the folder.
  explicit SnmpSandbox(const std::string &agent, int port = -1) {
    port_ = port > 0 ? port : free_udp_port();
    std::filesystem::create_directories(dir_ + "/persist");
    std::ofstream conf(dir_ + "/" + agent + ".conf");
    conf << "agentaddress udp:127.0.0.1:" << port_ << "\n"
         << "rocommunity " << community() << " 127.0.0.1\n";
    setenv("SNMPCONFPATH", dir_.c_str(), 1);
    setenv("SNMP_PERSISTENT_DIR", (dir_ + "/persist").c_str(), 1);
  }
  int port() const { return port_; }
  const std::string &dir() const { return dir_; }
  static std::string community() { return "kxtest-ro"; }

  // The value of one object, as snmpget prints it with -Oqv; the tools
  // read no configuration of their own.
  std::string get(const std::string &oid, int seconds = 3) const {
    return tool("snmpget", oid, seconds);
  }
  std::string walk(const std::string &oid) const { return tool("snmpwalk", oid, 3); }

 private:
  std::string tool(const std::string &name, const std::string &oid, int seconds) const {
    std::string cmd = "SNMPCONFPATH=" + dir_ + "/tools MIBS= " + name +
                      " -v2c -r 1 -t " + std::to_string(seconds) + " -c " + community() + " -On " +
                      (name == "snmpget" ? "-Oqv " : "-Oq ") + "127.0.0.1:" +
                      std::to_string(port_) + " " + oid + " 2>&1";
    return run_command(cmd);
  }
  TempDir tmp_{"kxsnmptest"};
  std::string dir_ = tmp_.path();
  int port_;
};

}  // namespace kxtest
