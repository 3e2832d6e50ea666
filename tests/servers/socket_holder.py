#!/usr/bin/env python3
"""Holds a listening unix socket and runs a FastCGI program on it, the way a
systemd socket unit does: the socket is made once and outlives every process
started on it, so connections that arrive while none runs wait in its queue.

    socket_holder.py SOCKET FOLDER PROGRAM [ARGUMENT...]

Makes SOCKET (mode 0666, for web servers' unprivileged workers), starts
PROGRAM with it as standard input and takes commands, one a line, from the
named pipe FOLDER/control (made here):

    restart [NAME] SIGTERM (or SIGNAME), wait for the process to end, start
                   a new one (what `systemctl restart` does)
    signal NAME    send the process SIGNAME (HUP, USR1, ...)
    stop           SIGTERM, wait for the process to end, and end

Appends what happens to FOLDER/log, one line each: "started PID",
"exited PID STATUS" (the exit status, or -N for signal N) and "done COMMAND"
once a command is carried out. FOLDER/pid holds the running process's id.
"""
import os
import signal
import socket
import subprocess
import sys

path, folder, command = sys.argv[1], sys.argv[2], sys.argv[3:]
control = os.path.join(folder, "control")
os.mkfifo(control)
listener = socket.socket(socket.AF_UNIX)
listener.bind(path)
os.chmod(path, 0o666)
listener.listen(1024)


def log(line):
    with open(os.path.join(folder, "log"), "a") as out:
        out.write(line + "\n")


def start():
    process = subprocess.Popen(command, stdin=listener.fileno())
    with open(os.path.join(folder, "pid.new"), "w") as out:
        out.write("%d\n" % process.pid)
    os.replace(os.path.join(folder, "pid.new"), os.path.join(folder, "pid"))
    log("started %d" % process.pid)
    return process


def end(process, name="TERM"):
    process.send_signal(getattr(signal, "SIG" + name))
    log("exited %d %d" % (process.pid, process.wait()))


process = start()
running = True
while running:
    with open(control) as commands:
        for line in commands:
            words = line.split()
            if words[:1] == ["restart"] and len(words) <= 2:
                end(process, *words[1:])
                process = start()
            elif len(words) == 2 and words[0] == "signal":
                process.send_signal(getattr(signal, "SIG" + words[1]))
            elif words == ["stop"]:
                end(process)
                running = False
            else:
                log("unknown %s" % line.strip())
                continue
            log("done %s" % " ".join(words))
            if not running:
                break
