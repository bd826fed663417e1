#pragma once
// A certificate authority of the test's own, made with openssl, and server
// certificates it signs: TLS servers on 127.0.0.1 whose trust the tests
// decide, without the machine's trust store.
#include <cstdlib>
#include <string>

#include "TestSupport.h"

namespace wharf::test {

class TestAuthority {
public:
    TestAuthority() {
        ok_ = run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + file("ca.key") + " -out " + caFile() +
                  " -days 2 -subj /CN=Wharf-Test-Authority -addext basicConstraints=critical,CA:TRUE"
                  " -addext keyUsage=critical,keyCertSign") &&
              run("openssl req -newkey rsa:2048 -nodes -keyout " + keyFile() + " -out " + file("server.csr") +
                  " -subj /CN=127.0.0.1");
    }
    bool ok() const { return ok_; }
    // The authority's certificate: what a client is told to trust.
    std::string caFile() const { return file("ca.pem"); }
    // The one key of every server certificate.
    std::string keyFile() const { return file("server.key"); }

    // A certificate for the subject alternative name `san` ("IP:127.0.0.1"),
    // signed by the authority; "" when openssl failed.
    std::string serverCertificate(const std::string& name, const std::string& san) const {
        const std::string extensions = file(name + ".ext"), cert = file(name + ".pem");
        writeFile(extensions, "subjectAltName=" + san + "\n");
        const bool made = run("openssl x509 -req -in " + file("server.csr") + " -CA " + caFile() + " -CAkey " +
                              file("ca.key") + " -CAcreateserial -days 2 -out " + cert + " -extfile " + extensions);
        return made ? cert : "";
    }

    // A self-signed certificate (and its own key, "<name>.key") that no
    // authority vouches for.
    std::string selfSignedCertificate(const std::string& name) const {
        const std::string cert = file(name + ".pem");
        const bool made = run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + file(name + ".key") + " -out " +
                              cert + " -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1");
        return made ? cert : "";
    }

    std::string file(const std::string& name) const { return dir_.file(name); }

private:
    static bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

    TempDir dir_;
    bool ok_ = false;
};

}  // namespace wharf::test
