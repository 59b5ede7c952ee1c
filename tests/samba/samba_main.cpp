// The Samba suite's main: one smbd for the whole run, started before the
// first test and stopped after the last (also when tests fail; a crash of
// this process takes smbd with it).
#include <chrono>
#include <exception>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>

#include "tests/samba/samba_server.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<sambatest::SambaServer> server;
    auto started = std::chrono::steady_clock::now();
    try {
        server = std::make_unique<sambatest::SambaServer>(sambatest::enterOwnNetwork());
    } catch (const std::exception& failure) {
        std::cerr << "FAILED: " << failure.what() << "\n";
        return 1;
    }
    auto setUp = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    std::cout << "smbd " << server->sharePath() << " on 127.0.0.1:" << server->port() << ", ready in "
              << setUp.count() << " ms\n";
    sambatest::setServer(server.get());
    int result = RUN_ALL_TESTS();
    sambatest::setServer(nullptr);
    server.reset();
    return result;
}
