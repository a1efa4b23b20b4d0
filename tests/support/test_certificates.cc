#include "support/test_certificates.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pv::test {

bool MakeCertificate(const TempDir& dir, const std::string& name, const std::string& alt_names) {
  int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  pid_t pid = StartProgram({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=" + name,
                            "-addext", "subjectAltName=" + alt_names, "-keyout", dir.File(name + ".key"), "-out",
                            dir.File(name + ".crt")},
                           {}, "", {quiet, quiet, -1});
  ::close(quiet);
  int status = 0;
  // openssl makes a key and a certificate in well under a second.
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
         dir.Exists(name + ".crt");
}

}  // namespace pv::test
