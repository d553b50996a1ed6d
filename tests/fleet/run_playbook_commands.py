#!/usr/bin/env python3
"""Runs what an example fleet playbook makes each host do, without Ansible.

The playbook is read as written: its vars, each copy task's source file, the
apply command and its changed_when. The folders it names are moved into a
temporary folder; the copies are made, the command is run twice, and
changed_when is evaluated on each run's standard output as Ansible would (its
error stream is apart, as Ansible registers it). The first run must change
the container, the second must not and must leave it byte for byte and with
its modification time. With --wine (a Windows playbook) trustctl.exe runs
under Wine beside the reference client, whose log must show exactly one
notification: the first run's, and beside the DLLs it imports (--beside), as
the package places them.

Usage: run_playbook_commands.py PLAYBOOK TRUSTCTL
           [--wine WINE_RUN --client DLL [--beside DLL...]]
"""
import argparse
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

CHANGED_WHEN = "(apply.stdout | from_json).changed"


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def yaml_single_quoted(text):
    text = text.strip()
    if text.startswith("'") and text.endswith("'"):
        return text[1:-1].replace("''", "'")
    return text


def read_playbook(path):
    lines = open(path, encoding="utf-8").read().splitlines()
    play = {"vars": {}, "copies": [], "command": None, "changed_when": None}
    section = None
    task_module = None
    for line in lines:
        stripped = line.strip()
        if stripped.startswith("#") or not stripped:
            continue
        if re.match(r"^  (vars|tasks):\s*$", line):
            section = stripped[:-1]
            continue
        if section == "vars":
            m = re.match(r"^    (\w+):\s*(.*)$", line)
            if m:
                play["vars"][m.group(1)] = yaml_single_quoted(m.group(2))
            continue
        m = re.match(r"^      ([\w.]+):\s*(.*)$", line)
        if m:
            task_module = m.group(1)
            if task_module.endswith("copy"):
                play["copies"].append({})
            if task_module.endswith("command"):
                play["command"] = yaml_single_quoted(m.group(2))
            if task_module == "changed_when":
                play["changed_when"] = m.group(2).strip()
            continue
        m = re.match(r"^        (\w+):\s*(.*)$", line)
        if m and task_module and task_module.endswith("copy"):
            play["copies"][-1][m.group(1)] = yaml_single_quoted(m.group(2))
    for key in ("copies", "command", "changed_when"):
        if not play[key]:
            fail("%s: no %s found" % (path, key))
    for copy in play["copies"]:
        if "src" not in copy or "dest" not in copy:
            fail("%s: a copy task without src and dest" % path)
    return play


def render(text, variables):
    def value(m):
        name = m.group(1)
        if name not in variables:
            fail("undefined variable " + name)
        return variables[name]
    return re.sub(r"\{\{\s*(\w+)\s*\}\}", value, text)


def windows_split(command):
    # A Windows command line of plain and double-quoted arguments.
    return [a if a[:1] != '"' else a[1:-1] for a in re.findall(r'"[^"]*"|\S+', command)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("playbook")
    ap.add_argument("trustctl")
    ap.add_argument("--wine")
    ap.add_argument("--client")
    # The DLLs trustctl.exe imports, which the package ships beside it.
    ap.add_argument("--beside", nargs="*", default=[])
    args = ap.parse_args()
    play = read_playbook(args.playbook)
    if play["changed_when"] != CHANGED_WHEN:
        fail("changed_when is %r; this runner evaluates %r" % (play["changed_when"], CHANGED_WHEN))
    work = tempfile.mkdtemp(prefix="tl-fleet-")
    try:
        windows = args.wine is not None
        host_path = (lambda p: p[2:].replace("\\", "/")) if windows else (lambda p: p)
        guest_path = (lambda p: "Z:" + p.replace("/", "\\")) if windows else (lambda p: p)
        # Every folder the playbook names moves into the temporary folder.
        variables = {}
        for name in play["vars"]:
            folder = os.path.join(work, name)
            os.makedirs(folder)
            variables[name] = guest_path(folder)
        env = dict(os.environ)
        log = os.path.join(work, "client.log")
        if windows:
            shutil.copy(args.trustctl, host_path(variables["trustlist_bin"]))
            for dll in args.beside:
                shutil.copy(dll, host_path(variables["trustlist_bin"]))
            if args.client:
                shutil.copy(args.client, host_path(variables["trustlist_bin"]))
                env["VELTRIXCLT_LOG"] = guest_path(log)
        for copy in play["copies"]:
            src = os.path.join(os.path.dirname(os.path.abspath(args.playbook)), copy["src"])
            shutil.copy(src, host_path(render(copy["dest"], variables)))
        argv = (windows_split if windows else shlex.split)(render(play["command"], variables))
        if windows:
            argv = [args.wine, host_path(argv[0])] + argv[1:]
        elif argv[0] == "trustctl":
            argv[0] = args.trustctl
        container = host_path(next(a for a in argv if a.endswith(".mnf")))
        print("runs:", " ".join(argv))
        states = []
        for run in (1, 2):
            # Windows programs write to files, never to a pipe (see scripts/wine-env).
            out_file = os.path.join(work, "out%d.txt" % run)
            err_file = os.path.join(work, "err%d.txt" % run)
            with open(out_file, "wb") as out, open(err_file, "wb") as err, \
                    open(os.devnull, "rb") as null:
                rc = subprocess.call(argv, stdin=null, stdout=out, stderr=err, env=env,
                                     timeout=300)
            text = open(out_file, encoding="utf-8", errors="replace").read()
            said = open(err_file, encoding="utf-8", errors="replace").read()
            if rc != 0:
                fail("run %d exited %d: %s%s" % (run, rc, text, said))
            if said:
                print("run %d said: %s" % (run, said.strip()))
            try:
                changed = json.loads(text)["changed"]
            except (ValueError, KeyError):
                fail("run %d: output is no JSON with \"changed\": %r" % (run, text))
            print("run %d: changed=%s" % (run, changed))
            if changed != (run == 1):
                fail("run %d reported changed=%s" % (run, changed))
            st = os.stat(container)
            states.append((open(container, "rb").read(), st.st_mtime_ns))
        if states[0] != states[1]:
            fail("the second run rewrote the container")
        if "--allowed-signers" in argv:
            # A list changed by anyone but its owner is refused and changes nothing.
            jsonl = host_path(next(a for a in argv if a.endswith(".jsonl")))
            with open(jsonl, "ab") as f:
                f.write(b"\n")
            out_file = os.path.join(work, "refused.txt")
            with open(out_file, "wb") as out, open(os.devnull, "wb") as err, \
                    open(os.devnull, "rb") as null:
                rc = subprocess.call(argv, stdin=null, stdout=out, stderr=err, env=env,
                                     timeout=300)
            text = open(out_file, encoding="utf-8", errors="replace").read()
            if rc != 2 or json.loads(text).get("error") != "signature":
                fail("a changed list was not refused for its signature: exit %d, %r" % (rc, text))
            if open(container, "rb").read() != states[1][0]:
                fail("a refused list changed the container")
            print("a changed list: refused, container unchanged")
        if windows and args.client:
            lines = open(log, encoding="utf-8").read().splitlines() if os.path.exists(log) else []
            notified = sum(1 for line in lines if line.startswith("notify "))
            if notified != 1:
                fail("the client was notified %d times, not once: %r" % (notified, lines))
            print("client notified once")
        print("PASS")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
