// SPDX-License-Identifier: GPL-3.0-or-later
// kavrik-txprobe: one command that turns a problem with a real ROBO TX or
// ROBOTICS TXT controller into a report file for the developers.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ftmsclib/version.h"
#include "txprobe/probe.h"

namespace {

void usage(FILE *out)
{
    std::fputs("Usage: kavrik-txprobe [PORT|ADDRESS] [-o|--output FILE] [--motor-test] [--silence-test] [--motor N]\n"
               "Opens the controller on PORT, or the ROBOTICS TXT at ADDRESS (192.168.7.2,\n"
               "host:port; default: the first ROBO TX found on USB, else on Bluetooth, else a\n"
               "TXT the port search finds), runs the handshake and 200 exchanges with every\n"
               "output at 0, and writes everything it saw into one report file to attach to a\n"
               "problem report.\n"
               "By default no output is ever driven.\n"
               "  -o, --output FILE  the report file (default kavrik-txprobe-<date>-<time>.txt here)\n"
               "  --motor-test       run motor M1 for 1 s each way and ask which way it turned\n"
               "  --silence-test     run M1, stop talking to the controller for 3 s and ask\n"
               "                     whether the motor stopped by itself\n"
               "  --motor N          the motor of both tests, 1-4 (default 1)\n"
               "  --help, --version\n"
               "Exit status: 0 when the handshake and the exchanges worked, 1 when not,\n"
               "2 for a wrong command line, 3 when the report could not be written.\n",
               out);
}

} // namespace

int main(int argc, char **argv)
{
    txprobe::ProbeOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("kavrik-txprobe %s (controller library %s)\n", KAVRIK_VERSION, ftlib::kVersionText);
            return 0;
        } else if ((arg == "-o" || arg == "--output") && hasValue) {
            options.output = argv[++i];
        } else if (arg.rfind("--output=", 0) == 0) {
            options.output = arg.substr(9);
        } else if (arg == "--motor-test") {
            options.motorTest = true;
        } else if (arg == "--silence-test") {
            options.silenceTest = true;
        } else if (arg == "--motor" && hasValue) {
            const std::string value = argv[++i];
            if (value.size() != 1 || value[0] < '1' || value[0] > '4') {
                std::fprintf(stderr, "kavrik-txprobe: --motor takes 1 to 4, not \"%s\"\n", value.c_str());
                return 2;
            }
            options.motor = value[0] - '0';
        } else if (!arg.empty() && arg[0] != '-' && options.port.empty()) {
            options.port = arg;
        } else {
            std::fprintf(stderr, "kavrik-txprobe: unexpected argument \"%s\"\n", arg.c_str());
            usage(stderr);
            return 2;
        }
    }
    return txprobe::runProbe(options);
}
