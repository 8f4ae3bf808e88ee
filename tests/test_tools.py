"""The tools' choice of the Debian archive: tools/debian-archive reads apt's
sources (one-line and deb822 files) from the folder VORNET_APT_ETC names and
prints the main archive's URI, and tools/debian-unstable fails with the
reason, before any fetch, when there is none. The fixtures use reserved host
names only."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / "tools"
DEBIAN_KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


def apt_etc(tmp_path, files):
    etc = tmp_path / "apt"
    (etc / "sources.list.d").mkdir(parents=True)
    for name, text in files.items():
        (etc / name).write_text(text)
    return etc


def run_tool(command, etc):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True,
                          timeout=60, env={**os.environ, "VORNET_APT_ETC": str(etc)})


ONE_LINE = {
    "sources.list": """\
# the security archive first, then sources, then the archive itself
deb http://security.mirror.invalid/debian-security bookworm-security main
deb-src http://sources.mirror.invalid/debian bookworm main
deb [ arch=amd64 lang=none ] http://mirror.invalid/debian/ bookworm main contrib # updates too
deb http://mirror.invalid/debian bookworm-updates main
""",
}

DEB822 = {
    "sources.list.d/debian.sources": f"""\
Types: deb
URIs: http://security.mirror.invalid/debian-security
Suites: bookworm-security
Components: main
Signed-By: {DEBIAN_KEYRING}

# a security suite on an ordinary path is skipped all the same
Types: deb
URIs: http://other.mirror.invalid/debian
Suites: bookworm-security
Components: main
Signed-By: {DEBIAN_KEYRING}

Types: deb deb-src
URIs: http://mirror.invalid/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: {DEBIAN_KEYRING}
""",
}

# Third-party repositories sort before the archive's own file, and none of
# them counts: another key, no main component, disabled, or a file apt
# ignores. Field names in any case, values continued on the next line.
THIRD_PARTY_FIRST = {
    "sources.list.d/a-runtime.sources": """\
Types: deb
URIs: https://runtime.invalid/node_20.x
Suites: nodistro
Components: main
Signed-By: /usr/share/keyrings/runtime.gpg
""",
    "sources.list.d/a-tools.list":
        "deb [signed-by=/usr/share/keyrings/tools.gpg] https://tools.invalid/linux/debian "
        "bookworm stable\n",
    "sources.list.d/b-off.sources": f"""\
Types: deb
URIs: http://disabled.mirror.invalid/debian
Suites: bookworm
Components: main
Enabled: no
Signed-By: {DEBIAN_KEYRING}
""",
    "sources.list.d/c.list.disabled": f"deb [signed-by={DEBIAN_KEYRING}] "
                                      "http://ignored.mirror.invalid/debian bookworm main\n",
    "sources.list.d/debian.sources": f"""\
types: deb
uris:
 http://mirror.invalid/pub/debian
suites: bookworm
 bookworm-updates
components: main
signed-by: {DEBIAN_KEYRING}
""",
}

# An entry signed by Debian's key outranks an earlier unsigned one.
SIGNED_WINS = {
    "sources.list": "deb http://unsigned.mirror.invalid/debian bookworm main\n",
    "sources.list.d/debian.sources": f"""\
Types: deb
URIs: http://signed.mirror.invalid/debian
Suites: bookworm
Components: main
Signed-By: {DEBIAN_KEYRING}
""",
}


@pytest.mark.parametrize("files, uri", [
    (ONE_LINE, "http://mirror.invalid/debian"),
    (DEB822, "http://mirror.invalid/debian"),
    (THIRD_PARTY_FIRST, "http://mirror.invalid/pub/debian"),
    (SIGNED_WINS, "http://signed.mirror.invalid/debian"),
], ids=["one-line", "deb822", "third-party-first", "signed-wins"])
def test_the_main_archive_is_found(tmp_path, files, uri):
    done = run_tool([TOOLS / "debian-archive"], apt_etc(tmp_path, files))
    assert (done.returncode, done.stdout, done.stderr) == (0, uri + "\n", "")


NO_ARCHIVE = {
    name: text for name, text in {**THIRD_PARTY_FIRST, **ONE_LINE}.items()
    if name not in ("sources.list.d/debian.sources", "sources.list")
}
NO_ARCHIVE["sources.list"] = (
    "deb http://security.mirror.invalid/debian-security bookworm-security main\n"
    "deb-src http://sources.mirror.invalid/debian bookworm main\n")


@pytest.mark.parametrize("files, reason", [
    ({}, "lists no sources"),
    (NO_ARCHIVE, "name no Debian archive"),
], ids=["no-sources", "no-archive"])
def test_no_archive_is_a_failure_with_the_reason(tmp_path, files, reason):
    etc = apt_etc(tmp_path, files)
    done = run_tool([TOOLS / "debian-archive"], etc)
    assert done.returncode == 1 and done.stdout == ""
    assert reason in done.stderr and str(etc) in done.stderr

    needs = [shutil.which("apt-get"), shutil.which("dpkg-deb"), Path(DEBIAN_KEYRING).exists()]
    if not all(needs):
        pytest.skip("tools/debian-unstable needs apt-get, dpkg-deb and Debian's keyring")
    dest = tmp_path / "dest"
    done = run_tool([TOOLS / "debian-unstable", dest, "python3.14"], etc)
    assert done.returncode == 1
    failure = (dest / "failure").read_text()
    assert failure.startswith("no Debian archive to fetch from: ") and reason in failure
    assert failure.strip() == done.stderr.strip().splitlines()[-1]
    assert not (dest / "debs").exists()


def test_no_archive_host_is_written_into_the_tools():
    """The tools take the archive from the machine: no address of their own."""
    for tool in TOOLS.iterdir():
        if tool.is_file():
            text = tool.read_text(errors="replace")
            assert "://" not in text, tool
