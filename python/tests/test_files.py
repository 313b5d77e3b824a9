"""Safe writes: what each kind of target gets, what failures and signals
leave behind, and outputs that would destroy inputs."""
import os
import signal
import stat
import subprocess
import sys
import threading

import pytest

from vadrel.io import files


def listing(d):
    return sorted(os.listdir(d))


def write_in_child(tmp_path, code, stdout=None, preexec=None):
    """Run ``code`` (with ``files`` imported) in a fresh interpreter in tmp_path."""
    import vadrel
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(vadrel.__file__))))
    return subprocess.run([sys.executable, "-c", "from vadrel.io import files\n" + code], cwd=tmp_path,
                          env=env, stdout=stdout, stderr=subprocess.PIPE, preexec_fn=preexec, timeout=60)


@pytest.mark.parametrize("mode", [None, 0o640, 0o604])
def test_regular_files_are_replaced_whole_keeping_their_mode(tmp_path, mode):
    p = tmp_path / "out.txt"
    if mode is not None:
        p.write_text("old")
        os.chmod(p, mode)
        ino = os.stat(p).st_ino
    files.write_text(p, "new\n")
    assert p.read_text() == "new\n"
    assert listing(tmp_path) == ["out.txt"]
    if mode is None:
        umask = os.umask(0o022)
        os.umask(umask)
        assert stat.S_IMODE(os.stat(p).st_mode) == 0o666 & ~umask
    else:
        assert stat.S_IMODE(os.stat(p).st_mode) == mode
        assert os.stat(p).st_ino != ino          # a new file, renamed into place


def test_a_link_is_followed_and_stays_a_link(tmp_path):
    (tmp_path / "d").mkdir()
    target = tmp_path / "d" / "real.txt"
    target.write_text("old")
    link = tmp_path / "link.txt"
    link.symlink_to(os.path.join("d", "real.txt"))
    files.write_bytes(link, b"new")
    assert link.is_symlink() and target.read_bytes() == b"new"
    assert listing(tmp_path / "d") == ["real.txt"]


@pytest.mark.parametrize("text", [True, False])
def test_a_fifo_is_written_directly(tmp_path, text):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()))
    reader.start()
    if text:
        files.write_text(fifo, "through the pipe")
    else:
        files.write_bytes(fifo, b"through the pipe")
    reader.join(10)
    assert got == [b"through the pipe"]
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and listing(tmp_path) == ["pipe"]


@pytest.mark.parametrize("name", ["/dev/stdout", "/proc/self/fd/1"])
def test_the_console_is_appended_to_not_replaced(tmp_path, name):
    log = tmp_path / "log"
    with open(log, "w") as out:
        out.write("before\n")
        out.flush()
        r = write_in_child(tmp_path, f"import sys; print('console', flush=True); files.write_text({name!r}, 'record\\n')",
                           stdout=out)
    assert r.returncode == 0, r.stderr
    assert log.read_text() == "before\nconsole\nrecord\n"


def test_a_failed_writer_leaves_the_old_file_and_no_temporary(tmp_path):
    p = tmp_path / "keep.txt"
    p.write_text("old")

    def fail(f):
        f.write("half")
        raise RuntimeError("writer failed")
    with pytest.raises(RuntimeError):
        files.replace_file(p, fail)
    assert p.read_text() == "old" and listing(tmp_path) == ["keep.txt"]


def test_a_file_size_limit_is_a_named_error(tmp_path):
    import resource
    (tmp_path / "big.out").write_text("old")
    r = write_in_child(tmp_path, "files.write_text('big.out', 'x' * 100000)",
                       preexec=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096)))
    assert r.returncode == 1
    assert b"big.out: cannot write: File too large" in r.stderr
    assert (tmp_path / "big.out").read_text() == "old" and listing(tmp_path) == ["big.out"]


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_signals_remove_the_temporary_and_end_with_their_status(tmp_path, sig):
    (tmp_path / "src.tt3").write_text("old")
    code = ("import os, signal\n"
            "def write(f):\n"
            "    f.write('partial' * 1000); f.flush()\n"
            f"    os.kill(os.getpid(), {int(sig)})\n"
            "    f.write('more')\n"
            "try:\n"
            "    files.replace_file('src.tt3', write)\n"
            "except KeyboardInterrupt:\n"
            "    signal.signal(signal.SIGINT, signal.SIG_DFL); os.kill(os.getpid(), signal.SIGINT)\n")
    r = write_in_child(tmp_path, code)
    assert r.returncode == -sig
    assert listing(tmp_path) == ["src.tt3"] and (tmp_path / "src.tt3").read_text() == "old"


def test_names_of_any_length(tmp_path):
    p = tmp_path / ("n" * 251 + ".txt")
    files.write_text(p, "long")
    files.write_text(p, "longer")
    assert p.read_text() == "longer" and listing(tmp_path) == [p.name]


def test_outputs_that_are_inputs_or_each_other_are_refused(tmp_path):
    a = tmp_path / "a.txt"
    a.write_text("data")
    (tmp_path / "sub").mkdir()
    (tmp_path / "alias.txt").symlink_to(a)
    os.link(a, tmp_path / "hard.txt")
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    same = [tmp_path / "alias.txt", tmp_path / "hard.txt", tmp_path / "sub" / ".." / "a.txt", str(a)]
    for p in same:
        with pytest.raises(ValueError, match="refusing to write over an input"):
            files.check_outputs([("output", p)], inputs=[("data file", a)])
    with pytest.raises(ValueError, match="same file as"):
        files.check_outputs([tmp_path / "new.json", tmp_path / "sub" / ".." / "new.json"])
    files.check_outputs([tmp_path / "new.json", tmp_path / "new.png", fifo, fifo, "/dev/stdout"],
                        inputs=[a, "/dev/stdin"])
