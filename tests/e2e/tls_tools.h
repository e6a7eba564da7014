// HTTPS in the process tests: a self-signed certificate (localhost,
// 127.0.0.1, ::1) made by GnuTLS's certtool; requests by the curl program.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace vistrel::testing {

// DIR/NAME-key.pem and DIR/NAME-cert.pem.
inline bool MakeCertificate(const std::string& dir, const std::string& name) {
    const std::string at = dir + "/" + name;
    std::ofstream(at + ".tmpl") << "cn = localhost\ndns_name = localhost\nip_address = 127.0.0.1\nip_address = ::1\n"
                                   "expiration_days = 2\ntls_www_server\nsigning_key\n";
    const std::string key = at + "-key.pem", quiet = " >/dev/null 2>&1";
    return std::system(("certtool --generate-privkey --key-type ecdsa --outfile " + key + quiet).c_str()) == 0 &&
           std::system(("certtool --generate-self-signed --load-privkey " + key + " --template " + at +
                        ".tmpl --outfile " + at + "-cert.pem" + quiet)
                           .c_str()) == 0;
}

// The body, "\n" and the status (000: no answer) of curl ARGS, trusting ca only.
inline std::string Curl(const std::string& args, const std::string& ca = "", int seconds = 10) {
    std::string out, command = "curl -sg --max-time " + std::to_string(seconds) +
                               (ca.empty() ? "" : " --cacert " + ca) + " -w '\\n%{http_code}' " + args + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    for (char c; pipe && fread(&c, 1, 1, pipe) == 1;) out += c;
    if (pipe) pclose(pipe);
    return out;
}

}  // namespace vistrel::testing
