#!/usr/bin/env python3
"""corpus_round_trip.py PBO MAKE_CORPUS WORK: the small benchmark corpus, the nine files and
the tree, has the bytes it has on every machine (the SHA-256 of its manifests, which list
every file's), so benchmark figures from two machines measure the same data; and `pbo -a`
then `pbo -x` of each gives back every file byte for byte, with exit code 0."""

import hashlib
import os
import shutil
import subprocess
import sys

# Change these only with the generator, knowing that figures from before no longer compare.
MANIFESTS = {
    "flat": ("MANIFEST.txt",
             "d02c9440b02f179b997e38f7d461eed5c01f85869fc83f6e09052dfbe646c6e8"),
    "tree": (".manifest.txt",
             "09ccf5d8aba9201ddfbeed4ba11fb6d482794884bc4ba73661413834e6155607"),
}


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def run(pbo, switch, path, failures):
    code = subprocess.run([pbo, switch, path]).returncode
    if code != 0:
        failures.append(f"pbo {switch} {path} ended with exit code {code}")
    return code == 0


def main():
    pbo, make_corpus, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    failures = []
    for kind, (manifest_name, pinned) in MANIFESTS.items():
        source = os.path.join(work, "source", kind)
        tree = ["--tree"] if kind == "tree" else []
        subprocess.run([sys.executable, make_corpus, "--small"] + tree + [source], check=True,
                       stdout=subprocess.DEVNULL)
        manifest = os.path.join(source, manifest_name)
        if digest(manifest) != pinned:
            failures.append(f"{kind}: the manifest's SHA-256 is {digest(manifest)}")
        archive = os.path.join(work, "out", kind + ".pbo")
        os.makedirs(os.path.dirname(archive), exist_ok=True)
        if run(pbo, "-a", source, failures):
            os.replace(source + ".pbo", archive)
            run(pbo, "-x", archive, failures)
        with open(manifest) as f:
            for line in f:
                if line.startswith("#"):
                    continue
                size, sha, name = line.rstrip("\n").split(" ", 2)
                path = os.path.join(work, "out", kind, *name.split("/"))
                if not os.path.isfile(path) or digest(path) != sha:
                    failures.append(f"{kind}: {name} did not come back as it was")
    for failure in failures:
        print(failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
