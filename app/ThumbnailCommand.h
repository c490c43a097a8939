// The site owner's command: run by hand in the gallery folder, as the web
// server's account, it makes every thumbnail the photo page would make and
// is still missing, before the first visitor comes.
//
//     pictorama.cgi --make-thumbnails [--threads N]
//     pictorama.cgi --help | --version
#pragma once
#include <string>
#include <vector>

// Exit statuses of the command.
constexpr int CommandDone = 0;
constexpr int CommandSomeFailed = 1;  // pictures it could not read, listed on standard error
constexpr int CommandMisused = 2;
constexpr int CommandStopped = 130;   // a stop signal (Ctrl-C) arrived; nothing torn or claimed is left

// Runs the command the arguments ask for; returns its exit status.
int RunOwnerCommand(const std::vector<std::string>& arguments);
