#include "agents/checkin_document.h"

#include <gtest/gtest.h>

TEST(LinkPathOnHosts, OnlyHttpsLinksToTheVendorsHosts) {
    const std::vector<std::string> hosts = {"api.v.example", "descargas.v.example"};
    struct Case {
        const char* link;
        bool ours;
        const char* path;
    };
    const Case cases[] = {
        {"https://descargas.v.example/paquetes/p.zip", true, "/paquetes/p.zip"},
        {"HTTPS://Descargas.V.Example/paquetes/p.zip", true, "/paquetes/p.zip"},
        {"https://descargas.v.example/paquetes/p%20q.zip?x=1#f", true, "/paquetes/p q.zip"},
        {"https://api.v.example/parches/a", true, "/parches/a"},
        {"http://descargas.v.example/paquetes/p.zip", false, ""},
        {"https://otro.example/paquetes/p.zip", false, ""},
        {"https://descargas.v.example.otro.example/paquetes/p.zip", false, ""},
        {"https://descargas.v.example:8443/paquetes/p.zip", false, ""},
        {"https://x@descargas.v.example/paquetes/p.zip", false, ""},
        {"https://descargas.v.example", false, ""},
        {"https://descargas.v.example/paquetes/p%2", false, ""},
    };
    for (const Case& c : cases) {
        std::string path;
        EXPECT_EQ(LinkPathOnHosts(c.link, hosts, path), c.ours) << c.link;
        if (c.ours) EXPECT_EQ(path, c.path) << c.link;
    }
}
