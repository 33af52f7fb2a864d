"""The .docx to PDF converter, against a real headless LibreOffice."""

from __future__ import annotations

import os
import signal
import stat
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path
from typing import Any, Iterator

import pytest

from conftest import needs_office, pdf_text, process_running, processes_with, run_in_threads, unix_sockets
from test_scrivet_support import commented
from varnholt通用模組 import Folioprint as FP
from varnholt通用模組.Folioprint import ConversionError, Folioprint

pytestmark = needs_office

CHINESE = "專利名稱 測試"
LATIN = "Folioprint conversion check"


def make_docx(path: Path, *lines: str) -> Path:
    import docx

    document = docx.Document()
    for line in lines:
        document.add_paragraph(line)
    document.save(str(path))
    return path


def offices() -> list[int]:
    """Running office processes of this process's converters."""
    folder = FP._POOL.folder
    assert folder is not None
    return processes_with(folder, program=b"soffice.bin")


def office_files(pid: int) -> set[str]:
    """The sockets an office listens on (LibreOffice puts them in /tmp)."""
    return {path for path in unix_sockets(pid) if os.path.basename(path).startswith("OSL_PIPE_")}


def left_behind(pid: int, sockets: set[str]) -> list[str]:
    """What a dead office still has on disk: its sockets (but those its
    replacement listens on again), its lu<pid>*.tmp folder."""
    folders = [tempfile.gettempdir()] + ([FP._POOL.folder] if FP._POOL.folder else [])
    temporary = [str(path) for folder in folders for path in Path(folder).rglob(f"lu{pid}*.tmp")]
    reused = set().union(*(office_files(office) for office in offices())) if FP._POOL.folder else set()
    return sorted(path for path in sockets - reused if os.path.exists(path)) + temporary


def gone_soon(pid: int, timeout: float = 120.0) -> bool:
    deadline = time.monotonic() + timeout
    while process_running(pid):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


@pytest.fixture
def source(tmp_path: Path) -> Path:
    return make_docx(tmp_path / "專利 source.docx", CHINESE, LATIN)


@pytest.fixture(scope="class")
def shared() -> Iterator[Folioprint]:
    """One warm converter for the tests that do not look at its process (it
    keeps the office running until the class is done)."""
    converter = Folioprint()
    yield converter
    converter.close()


@pytest.fixture
def converter() -> Iterator[Folioprint]:
    converter = Folioprint()
    yield converter
    converter.close()


class TestConvert:
    def test_pdf_shows_chinese_and_latin_text_under_another_name(
        self, shared: Folioprint, source: Path, tmp_path: Path
    ) -> None:
        out_dir = tmp_path / "out"
        out_dir.mkdir()
        before = source.read_bytes()
        target = out_dir / "報告 final.pdf"
        shared.convert(str(source), str(target), keep_active=True)
        text = pdf_text(target)
        assert CHINESE in text and LATIN in text
        # Nothing else left beside the PDF, and the document is untouched and free.
        assert sorted(os.listdir(out_dir)) == ["報告 final.pdf"]
        assert source.read_bytes() == before

    def test_relative_paths_are_taken_from_the_working_folder(
        self, shared: Folioprint, source: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.chdir(tmp_path)
        shared.convert(source.name, "relative.pdf")
        assert LATIN in pdf_text(tmp_path / "relative.pdf")

    @pytest.mark.skipif(not os.path.isdir("/dev/shm"), reason="needs a second file system")
    def test_output_on_another_file_system(self, shared: Folioprint, source: Path) -> None:
        umask = os.umask(0)
        os.umask(umask)
        with tempfile.TemporaryDirectory(dir="/dev/shm") as folder:
            target = Path(folder) / ("專" * 80 + ".pdf")  # 244 bytes: near the longest name allowed
            shared.convert(source, target)
            assert CHINESE in pdf_text(target)
            assert os.listdir(folder) == [target.name]
            assert stat.S_IMODE(target.stat().st_mode) == 0o666 & ~umask

    def test_commented_documents_convert_in_the_warm_office(self, shared: Folioprint, tmp_path: Path) -> None:
        shared.convert(make_docx(tmp_path / "plain.docx", LATIN), tmp_path / "plain.pdf")
        pid = shared.office_pid
        shared.convert(commented(tmp_path / "commented.docx"), tmp_path / "commented.pdf")
        assert shared.office_pid == pid  # not replaced: it did not die on the comments
        text = pdf_text(tmp_path / "commented.pdf")
        assert "Claim 1: a device with a lever" in text and "an inserted clause" in text and "cell 3 KEY" in text

    def test_rare_characters_are_drawn_and_kept_in_the_text(self, shared: Folioprint, tmp_path: Path) -> None:
        # CJK Extension B (personal names in Taiwan) and emoji beyond the
        # basic fonts: each must be drawn with a font that has it, not as an
        # empty box, and come back out of the text layer.
        rare = {"\U00020000": "20000", "\U0002000b": "2000b", "\U0001f389": "1f389", "\U0001f44d": "1f44d"}
        line = "王" + "\U00020000" + "明 " + " ".join(rare)
        shared.convert(make_docx(tmp_path / "rare.docx", line), tmp_path / "rare.pdf")
        assert line in pdf_text(tmp_path / "rare.pdf")
        fonts = subprocess.run(["pdffonts", str(tmp_path / "rare.pdf")], capture_output=True, text=True).stdout
        embedded = {row.split()[0].split("+")[-1] for row in fonts.splitlines()[2:]}
        for char, code in rare.items():
            having = subprocess.run(["fc-list", "-f", "%{postscriptname}\n", f":charset={code}"],
                                    capture_output=True, text=True).stdout.split()
            assert embedded & set(having), f"no font drawn in the PDF has U+{code.upper()} (fonts that do: {having})"

    def test_an_existing_pdf_is_replaced(self, shared: Folioprint, tmp_path: Path) -> None:
        target = tmp_path / "out.pdf"
        shared.convert(make_docx(tmp_path / "one.docx", "first version"), target)
        shared.convert(make_docx(tmp_path / "two.docx", "second version"), target)
        text = pdf_text(target)
        assert "second version" in text and "first version" not in text


def not_a_zip(folder: Path) -> Path:
    path = folder / "text.docx"
    path.write_text("plain text, not a Word document")
    return path


def zip_without_document(folder: Path) -> Path:
    path = folder / "empty.docx"
    with zipfile.ZipFile(path, "w") as package:
        package.writestr("[Content_Types].xml", "<Types/>")
    return path


class TestRefusals:
    @pytest.mark.parametrize(
        "make_input, error",
        [
            (lambda folder: folder / "missing.docx", FileNotFoundError),
            (lambda folder: folder, IsADirectoryError),
            (not_a_zip, ValueError),
            (zip_without_document, ValueError),
        ],
        ids=["missing", "folder", "text file", "zip without document"],
    )
    def test_bad_input_raises_and_writes_nothing(
        self, shared: Folioprint, tmp_path: Path, make_input: Any, error: type
    ) -> None:
        bad = make_input(tmp_path)
        listing = sorted(os.listdir(tmp_path))
        with pytest.raises(error):
            shared.convert(bad, tmp_path / "out.pdf")
        assert sorted(os.listdir(tmp_path)) == listing

    def test_missing_output_folder_raises(self, shared: Folioprint, source: Path, tmp_path: Path) -> None:
        with pytest.raises(FileNotFoundError, match="folder"):
            shared.convert(source, tmp_path / "no such folder" / "out.pdf")
        assert not (tmp_path / "no such folder").exists()

    def test_without_libreoffice_both_ways_are_reported(
        self, converter: Folioprint, source: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setattr(FP, "SOFFICE", str(tmp_path / "nowhere" / "soffice"))
        with pytest.raises(ConversionError, match="LibreOffice was not found.*could not be run"):
            converter.convert(source, tmp_path / "out.pdf")
        assert not (tmp_path / "out.pdf").exists()

    def test_document_the_office_cannot_load_keeps_old_pdf(
        self, shared: Folioprint, source: Path, tmp_path: Path
    ) -> None:
        # A zip that looks like a .docx but whose body is broken: soffice itself
        # would report success here.
        broken = tmp_path / "broken.docx"
        with zipfile.ZipFile(source) as good, zipfile.ZipFile(broken, "w") as bad:
            for item in good.infolist():
                data = good.read(item.filename)
                bad.writestr(item, b"<w:document broken" if item.filename == "word/document.xml" else data)
        target = tmp_path / "out.pdf"
        target.write_bytes(b"%PDF-old")
        listing = sorted(os.listdir(tmp_path))
        with pytest.raises(ConversionError, match="broken.docx"):
            shared.convert(broken, target)
        assert target.read_bytes() == b"%PDF-old"
        assert sorted(os.listdir(tmp_path)) == listing
        # The office survives a document it could not read.
        shared.convert(source, target)
        assert LATIN in pdf_text(target)


@pytest.mark.slow
class TestOfficeProcess:
    def test_keep_active_reuses_the_office_and_off_stops_it(
        self, converter: Folioprint, source: Path, tmp_path: Path
    ) -> None:
        converter.convert(source, tmp_path / "1.pdf", keep_active=True)
        pid = converter.office_pid
        assert pid is not None and process_running(pid)
        converter.convert(source, tmp_path / "2.pdf", keep_active=True)
        assert converter.office_pid == pid  # the same office did the second one
        converter.convert(source, tmp_path / "3.pdf", keep_active=False)
        assert converter.office_pid is None
        assert gone_soon(pid)
        for name in ("1.pdf", "2.pdf", "3.pdf"):
            assert LATIN in pdf_text(tmp_path / name)

    def test_without_keep_active_no_office_is_left(
        self, converter: Folioprint, source: Path, tmp_path: Path
    ) -> None:
        converter.convert(source, tmp_path / "warm.pdf")
        assert offices() == [converter.office_pid]
        converter.close()
        for name in ("1.pdf", "2.pdf"):
            converter.convert(source, tmp_path / name, keep_active=False)
            assert converter.office_pid is None
            assert offices() == []
            assert CHINESE in pdf_text(tmp_path / name)

    # Without a pause the converter learns of the death only from its request;
    # after one it sees it before.
    @pytest.mark.parametrize("pause", [0.0, 1.0], ids=["at once", "later"])
    def test_a_killed_warm_office_is_replaced(
        self, converter: Folioprint, source: Path, tmp_path: Path, pause: float
    ) -> None:
        converter.convert(source, tmp_path / "1.pdf")
        pid = converter.office_pid
        assert pid is not None
        sockets = office_files(pid)
        assert len(sockets) == 2  # the pipe it listens on, and its profile's
        os.kill(pid, signal.SIGKILL)
        time.sleep(pause)
        converter.convert(source, tmp_path / "2.pdf")
        converter.convert(source, tmp_path / "3.pdf")
        assert LATIN in pdf_text(tmp_path / "2.pdf") and LATIN in pdf_text(tmp_path / "3.pdf")
        assert converter.office_pid not in (None, pid)
        assert left_behind(pid, sockets) == []

    def test_a_hung_office_is_stopped_and_reported(
        self, converter: Folioprint, source: Path, tmp_path: Path
    ) -> None:
        converter.convert(source, tmp_path / "1.pdf")
        pid = converter.office_pid
        assert pid is not None
        sockets = office_files(pid)
        converter.timeout = 2.0
        os.kill(pid, signal.SIGSTOP)
        with pytest.raises(ConversionError, match="too long"):
            converter.convert(source, tmp_path / "2.pdf")
        assert gone_soon(pid)
        assert left_behind(pid, sockets) == []
        assert not (tmp_path / "2.pdf").exists()
        converter.timeout = 120.0
        converter.convert(source, tmp_path / "3.pdf")
        assert LATIN in pdf_text(tmp_path / "3.pdf")

    def test_an_interrupted_conversion_leaves_no_reply_for_the_next(
        self, converter: Folioprint, source: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        converter.convert(source, tmp_path / "1.pdf")
        pid = converter.office_pid
        assert pid is not None
        real_select, interrupts = FP.select.select, [KeyboardInterrupt()]

        def select(*args: Any) -> Any:
            if interrupts:  # while the office works on the document
                raise interrupts.pop()
            return real_select(*args)

        monkeypatch.setattr(FP.select, "select", select)
        with pytest.raises(KeyboardInterrupt):
            converter.convert(source, tmp_path / "2.pdf")
        real_once, once = converter._convert_once, []

        def convert_once(*args: str) -> None:
            once.append(args)
            real_once(*args)

        monkeypatch.setattr(converter, "_convert_once", convert_once)
        converter.convert(source, tmp_path / "3.pdf")
        # Warm, on a new office: the old one's late reply answered nothing.
        assert once == [] and converter.office_pid not in (None, pid) and gone_soon(pid)
        assert LATIN in pdf_text(tmp_path / "3.pdf")

    def test_a_forked_child_does_not_keep_the_office_running(
        self, converter: Folioprint, source: Path, tmp_path: Path
    ) -> None:
        converter.convert(source, tmp_path / "1.pdf")
        office = converter._state.office
        assert office is not None
        read, write = os.pipe()
        child = os.fork()
        if child == 0:  # lives on until the parent has closed its converter
            os.close(write)
            os.read(read, 1)
            os._exit(0)
        os.close(read)
        try:
            converter.close()
            # The helper saw the end of its input and ended the office itself,
            # rather than being killed once the wait for that ran out.
            assert office.process.returncode != -signal.SIGKILL
        finally:
            os.close(write)
            os.waitpid(child, 0)

    def test_close_and_collection_stop_the_office(self, source: Path, tmp_path: Path) -> None:
        converter = Folioprint()
        converter.convert(source, tmp_path / "1.pdf")
        pid, folder = converter.office_pid, converter._state.folder
        assert pid is not None and folder is not None
        converter.close()
        assert gone_soon(pid) and not os.path.exists(folder)
        # Usable again after close, and collected like any object.
        converter.convert(source, tmp_path / "2.pdf")
        pid = converter.office_pid
        assert pid is not None
        del converter
        assert gone_soon(pid)

    @pytest.mark.parametrize("killed", [False, True], ids=["running", "killed"])
    def test_the_office_ends_with_the_program_and_leaves_nothing(
        self, source: Path, tmp_path: Path, killed: bool
    ) -> None:
        script = (
            "import sys\n"
            "from varnholt通用模組.Folioprint import Folioprint\n"
            "keep = Folioprint()\n"
            "keep.convert(sys.argv[1], sys.argv[2])\n"
            "from varnholt通用模組 import Folioprint as FP\n"
            "print(keep.office_pid, FP._POOL.folder, flush=True)\n"
            "sys.stdin.readline()\n"
        )
        child = subprocess.Popen(
            [sys.executable, "-c", script, str(source), str(tmp_path / "out.pdf")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        assert child.stdout is not None and child.stdin is not None
        pid_text, folder = child.stdout.readline().split()
        pid = int(pid_text)
        sockets = office_files(pid)
        assert sockets
        if killed:
            os.kill(pid, signal.SIGKILL)
        child.stdin.write("\n")
        child.stdin.flush()
        assert child.wait(timeout=120) == 0, child.communicate()[1]
        assert gone_soon(pid)
        assert not os.path.exists(folder) and left_behind(pid, sockets) == []


# Speaks the helper's protocol, then leaves as the helper does when its
# office died on the document.
DYING_HELPER = """
import json, sys
print(json.dumps({"ready": True, "office_pid": 0}), flush=True)
sys.stdin.readline()
sys.exit(3)
"""


@pytest.mark.slow
class TestOneOfficePerProcess:
    def test_converters_share_one_office_while_any_keeps_it(self, source: Path, tmp_path: Path) -> None:
        a, b, c = Folioprint(), Folioprint(), Folioprint()
        try:
            for i, converter in enumerate((a, b, c)):
                converter.convert(source, tmp_path / f"{i}.pdf")
            pid = a.office_pid
            assert pid is not None and offices() == [pid] and b.office_pid == c.office_pid == pid
            a.convert(source, tmp_path / "a.pdf", keep_active=False)
            b.close()
            assert offices() == [pid]  # c still keeps it
            del a, b
            assert offices() == [pid]
            c.close()
            assert gone_soon(pid)
        finally:
            c.close()

    @pytest.mark.parametrize("cause", ["office dies on it", "no UNO bridge"])
    def test_what_the_warm_office_cannot_load_converts_once_then_warm_again(
        self, converter: Folioprint, source: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, cause: str
    ) -> None:
        if cause == "no UNO bridge":
            monkeypatch.setattr(FP, "UNO_PYTHON", str(tmp_path / "no python"))
        else:
            (tmp_path / "dies.py").write_text(DYING_HELPER)
            monkeypatch.setattr(FP, "HELPER", str(tmp_path / "dies.py"))
        converter.convert(source, tmp_path / "once.pdf")
        assert CHINESE in pdf_text(tmp_path / "once.pdf")
        assert converter.office_pid is None and offices() == []  # the one-off office is gone too
        monkeypatch.undo()
        converter.convert(source, tmp_path / "warm.pdf")
        assert converter.office_pid is not None and LATIN in pdf_text(tmp_path / "warm.pdf")


@pytest.mark.slow
class TestPool:
    def test_a_stuck_conversion_holds_up_no_other_and_only_it_runs_out_of_time(
        self, source: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
    ) -> None:
        monkeypatch.setattr(FP, "MAX_OFFICES", 2)
        stuck, other = Folioprint(timeout=600), Folioprint()
        try:
            stuck.convert(source, tmp_path / "warm.pdf")
            first = stuck.office_pid
            assert first is not None
            os.kill(first, signal.SIGSTOP)  # as if it worked on a very long document
            seen: dict[str, Any] = {}

            def work(i: int) -> None:
                if i == 0:
                    stuck.convert(source, tmp_path / "stuck.pdf")
                    return
                while not any(slot.busy for slot in FP._POOL.slots):
                    time.sleep(0.01)
                other.convert(source, tmp_path / "other.pdf")
                seen["office"] = other.office_pid
                os.kill(first, signal.SIGCONT)  # only now can the stuck one end

            assert run_in_threads(work, 2) == []
            second = seen["office"]
            assert second not in (None, first) and sorted(offices()) == sorted([first, second])
            assert CHINESE in pdf_text(tmp_path / "other.pdf") and CHINESE in pdf_text(tmp_path / "stuck.pdf")

            # The office a conversion runs out of time on is killed; the other one goes on.
            stuck.timeout = 3.0
            office = FP._POOL.slots[0].office  # the office the next conversion gets
            assert office is not None
            idle_first = office.office_pid
            sockets = office_files(idle_first)
            os.kill(idle_first, signal.SIGSTOP)
            with pytest.raises(ConversionError, match="too long"):
                stuck.convert(source, tmp_path / "late.pdf")
            assert gone_soon(idle_first) and left_behind(idle_first, sockets) == []
            survivor = ({first, second} - {idle_first}).pop()
            assert offices() == [survivor]
            other.convert(source, tmp_path / "after.pdf")
            assert other.office_pid == survivor and LATIN in pdf_text(tmp_path / "after.pdf")
        finally:
            stuck.close()
            other.close()

    def test_a_dead_offices_number_stays_taken_until_it_is_cleaned_after(self) -> None:
        # Its cleanup empties the folder of that number, which a new office
        # of the same number would use.
        pool, numbers = FP._Pool(), []

        class DeadOffice:
            def alive(self) -> bool:
                return False

            def kill(self) -> None:  # a conversion that waited gets a slot meanwhile
                other = pool.acquire()
                numbers.append(other.number)
                pool.release(other)

        try:
            slot = pool.acquire()
            slot.office = DeadOffice()  # type: ignore[assignment]
            pool.release(slot)
            assert len(numbers) == 1 and numbers[0] != slot.number
        finally:
            pool.shutdown()

    @pytest.mark.parametrize("limit", [1, 2])
    def test_offices_grow_up_to_the_limit_and_the_extra_ones_stop_when_idle(
        self, source: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, limit: int
    ) -> None:
        monkeypatch.setattr(FP, "MAX_OFFICES", limit)
        monkeypatch.setattr(FP, "GROW_AFTER", 0.0)
        monkeypatch.setattr(FP, "IDLE_STOP", 0.3)
        converters = [Folioprint() for _ in range(4)]
        try:
            assert run_in_threads(lambda i: converters[i].convert(source, tmp_path / f"{i}.pdf"), 4) == []
            assert len({converter.office_pid for converter in converters} - {None}) == limit
            deadline = time.monotonic() + 120  # ends a hung test only
            while len(offices()) > 1 and time.monotonic() < deadline:
                time.sleep(0.05)
            assert len(offices()) == 1
            converters[0].convert(source, tmp_path / "after.pdf")
            assert offices() == [converters[0].office_pid]
        finally:
            for converter in converters:
                converter.close()


@pytest.mark.slow
class TestConcurrency:
    def test_one_converter_from_several_threads(
        self, converter: Folioprint, source: Path, tmp_path: Path
    ) -> None:
        pids: set[int | None] = set()

        def work(i: int) -> None:
            converter.convert(source, tmp_path / f"{i}.pdf")
            pids.add(converter.office_pid)

        assert run_in_threads(work, 6) == []
        assert None not in pids and 1 <= len(pids) <= FP._POOL.limit()  # its calls run at once too
        for i in range(6):
            assert CHINESE in pdf_text(tmp_path / f"{i}.pdf")

    def test_ten_converters_at_once(self, tmp_path: Path) -> None:
        converters = [Folioprint() for _ in range(10)]
        sources = [make_docx(tmp_path / f"in{i}.docx", f"document {i}", CHINESE) for i in range(10)]

        def work(i: int) -> None:
            # Half of them into one shared name: the last one wins, whole.
            converters[i].convert(sources[i], tmp_path / (f"{i}.pdf" if i % 2 else "same.pdf"))

        try:
            assert run_in_threads(work, 10) == []
            for i in range(1, 10, 2):
                assert f"document {i}" in pdf_text(tmp_path / f"{i}.pdf")
            assert 1 <= len(offices()) <= FP._POOL.limit()
            same = pdf_text(tmp_path / "same.pdf")
            assert sum(f"document {i}" in same for i in range(0, 10, 2)) == 1
            assert sorted(p.name for p in tmp_path.glob("*.pdf")) == sorted(
                [f"{i}.pdf" for i in range(1, 10, 2)] + ["same.pdf"]
            )
        finally:
            for converter in converters:
                converter.close()
