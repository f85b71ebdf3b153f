#!/usr/bin/env python3
"""Runs the fit walkthrough of README.md as a user would: the commands between
<!-- walkthrough --> and <!-- /walkthrough -->, in a fresh folder that holds
a copy of examples/, with the built programs first on the path. Passes when
every command succeeds and the refinement wrote its refined fit-mode file,
its fit record and its page.

    readme_walkthrough.py README.md BUILD_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


def commands(readme):
    text = open(readme).read()
    m = re.search(r"<!-- walkthrough -->\n(.*?)<!-- /walkthrough -->", text, re.S)
    if not m:
        sys.exit("README.md has no walkthrough block")
    lines = [l[4:] if l.startswith("    ") else l for l in m.group(1).splitlines()]
    return [l for l in lines if l.strip()]


def main():
    readme, build = sys.argv[1], os.path.abspath(sys.argv[2])
    root = os.path.dirname(os.path.abspath(readme))
    cmds = commands(readme)
    with tempfile.TemporaryDirectory(prefix="kv_walk_") as top:
        shutil.copytree(os.path.join(root, "examples"), os.path.join(top, "examples"))
        env = dict(os.environ, PATH=build + os.pathsep + os.environ.get("PATH", ""))
        script = "set -e\n" + "\n".join(cmds) + "\n"
        r = subprocess.run(["bash", "-c", script], cwd=top, env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=900)
        out = r.stdout.decode(errors="replace")
        if r.returncode != 0:
            print(out[-4000:])
            sys.exit(f"a walkthrough command failed (status {r.returncode})")
        walk = os.path.join(top, "fit-walk")
        for f in ("si110_fit_sim_fit_fit.txt", "si110_fit_sim_fit_fit.h5", "si110_fit_sim_fit_fit_page.html"):
            if not os.path.exists(os.path.join(walk, f)):
                sys.exit(f"the walkthrough did not write {f}")
        if "Refinement stopped" not in out or "ADJ" not in open(os.path.join(walk, "si110_fit_sim_fit.dat")).read():
            print(out[-4000:])
            sys.exit("the walkthrough did not refine")
    print("the walkthrough refined: every command ran and the refinement wrote its files")
    return 0


if __name__ == "__main__":
    sys.exit(main())
