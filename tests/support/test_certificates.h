// Certificates for the tests' HTTPS listing services, made at test time with the openssl
// command: each is self-signed and so its own CA.
#pragma once

#include <string>

#include "support/server_process.h"

namespace pv::test {

// Writes <name>.crt and <name>.key into `dir`, a certificate for the subjectAltName
// `alt_names` (e.g. "IP:127.0.0.1"), valid for two days. False when openssl failed.
bool MakeCertificate(const TempDir& dir, const std::string& name, const std::string& alt_names);

}  // namespace pv::test
