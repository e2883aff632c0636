"""Each fault of the device, the line or the caller becomes its exception,
with the port closed after."""

import threading

import pytest

import kormelt
from conftest import descriptors_to
from kormelt.testing import Faults, SimulatedDevice
from shared_tables import Sentence

IMAGE_BYTES = 1024  # 8 packets
FIRST_ERASE = 2  # request numbers: the search's identify is 1
FIRST_PROGRAM = FIRST_ERASE + 7
RESTART = FIRST_PROGRAM + IMAGE_BYTES // 128
AGAIN = "run the update again"  # the binding's words in the tool's sentences
UPLOAD_RETRY = Sentence("retry_upload", again=AGAIN)

# name, faults, exception, status, phase, percent, words of the message, the whole message, requests the
# device got
DEVICE_FAULTS = [
    ("silent at the first erase", Faults(silent_from=FIRST_ERASE), kormelt.DeviceSilent, 14, "erase", 0,
     ["Erase failed at 0%", "stopped answering", "within 3 s", "may have erased its first block"],
     Sentence("timeout_silent", failed="Erase failed at 0%", timeout_s=3, status=14,
              retry=Sentence("retry_erase_none", again=AGAIN)), FIRST_ERASE),
    ("bad CRC at the fourth erase", Faults(bad_crc_at=FIRST_ERASE + 3), kormelt.BadReplyCrc, 15, "erase", 42,
     ["Erase failed at 42%", "CRC error, status 15", "3 of 7 blocks were already erased"],
     Sentence("crc", failed="Erase failed at 42%", status=15, baud=19200,
              retry=Sentence("retry_erase_some", again=AGAIN, erased=3, blocks=7)), FIRST_ERASE + 3),
    ("over-long reply", Faults(oversize_at=FIRST_ERASE), kormelt.BadReplyCrc, 15, "erase", 0,
     ["Erase failed at 0%"],
     Sentence("crc", failed="Erase failed at 0%", status=15, baud=19200,
              retry=Sentence("retry_erase_none", again=AGAIN)), FIRST_ERASE),
    ("silent at the third packet", Faults(silent_from=FIRST_PROGRAM + 2), kormelt.DeviceSilent, 14, "upload", 25,
     ["Upload failed at 25%", "partial image"],
     Sentence("timeout_silent", failed="Upload failed at 25%", timeout_s=3, status=14, retry=UPLOAD_RETRY),
     FIRST_PROGRAM + 2),
    ("line hung up at the third packet", Faults(hangup_at=FIRST_PROGRAM + 2), kormelt.DeviceSilent, 14, "upload",
     25, ["Upload failed at 25%", "the line failed after", "partial image"],
     Sentence("timeout_line_failed", failed="Upload failed at 25%", status=14, retry=UPLOAD_RETRY),
     FIRST_PROGRAM + 2),
    ("babble at the third packet", Faults(babble_at=FIRST_PROGRAM + 2), kormelt.DeviceSilent, 14, "upload", 25,
     ["Upload failed at 25%", "never formed a reply"],
     Sentence("timeout_line_failed", failed="Upload failed at 25%", status=14, retry=UPLOAD_RETRY),
     FIRST_PROGRAM + 2),
    ("silent at the restart", Faults(silent_from=RESTART), kormelt.DeviceSilent, 14, "restart", None,
     ["did not confirm the restart", "fully written"],
     Sentence("timeout_restart", failed="Restart failed", timeout_s=3, status=14,
              retry=Sentence("retry_restart", again=AGAIN)), RESTART),
    ("someone else's device", Faults(id_text="ohmtel"), kormelt.NotFound, 13, "search", 100,
     ["No device answered on COM1 to COM7 (status 13)", "COM2 /dev/null/no-port", "KORMELT_COM<n>=PATH"],
     Sentence("not_found", ports="COM1 to COM7", status=13), 1),
]


@pytest.mark.parametrize(
    "faults, kind, status, phase, percent, words, sentence, requests",
    [case[1:] for case in DEVICE_FAULTS],
    ids=[case[0] for case in DEVICE_FAULTS],
)
def test_device_faults_raise_their_exception(
    make_image, faults, kind, status, phase, percent, words, sentence, requests
):
    path, _ = make_image(IMAGE_BYTES)
    with SimulatedDevice(faults=faults) as device:
        with pytest.raises(kind) as caught:
            kormelt.update(path)
        assert descriptors_to(device.path) == []
        assert len(device.requests()) == requests  # nothing after the failure
    error = caught.value
    assert isinstance(error, kormelt.KormeltError)
    assert (error.status, error.phase, error.percent) == (status, phase, percent)
    for word in words:
        assert word in str(error)
    assert sentence.matches(str(error)), (str(error), sentence)


def test_silence_is_a_timeout_error(kormelt_device):
    assert issubclass(kormelt.DeviceSilent, TimeoutError)
    assert issubclass(kormelt.WriteFailed, OSError)


def test_no_device_anywhere_lists_the_ports_tried():
    seen = []
    with pytest.raises(kormelt.NotFound) as caught:
        kormelt.open(progress=lambda phase, percent: seen.append(percent))
    assert seen == [0, 12, 24, 36, 48, 60, 72, 100]
    assert caught.value.status == kormelt.Status.NOT_FOUND
    for n in range(1, 8):
        assert "COM%d /dev/null/no-port" % n in str(caught.value)


@pytest.mark.kormelt_device(faults=Faults(silent_from=FIRST_ERASE))
def test_the_marker_gives_the_fixture_its_faults(kormelt_device):
    with kormelt.open() as device:
        with pytest.raises(kormelt.DeviceSilent):
            device.erase()
    assert [r.kind for r in kormelt_device.requests()] == ["identify", "erase"]


def test_a_bad_image_stops_the_update_before_anything_is_sent(kormelt_device, tmp_path):
    path = tmp_path / "raw.bin"
    path.write_bytes(b"no trailer here")
    with pytest.raises(kormelt.ImageError) as caught:
        kormelt.update(path)
    error = caught.value
    assert (error.status, error.phase) == (15, "check")
    assert error.check is not None and error.check.stored_crc == int.from_bytes(b"re", "big")
    assert "Nothing was sent to the device" in str(error)
    assert kormelt_device.requests() == []


def test_an_image_of_the_trailer_alone_stops_the_update_before_anything_is_sent(kormelt_device, tmp_path):
    path = tmp_path / "trailer.img"
    path.write_bytes(b"\xaa\xaa")  # the CRC of nothing: the library's check passes it
    assert kormelt.check(path)
    with pytest.raises(kormelt.ImageError) as caught:
        kormelt.update(path)
    assert (caught.value.status, caught.value.phase) == (0, "check")
    assert "no firmware" in str(caught.value)
    assert "Nothing was sent to the device" in str(caught.value)
    assert kormelt_device.requests() == []


def test_a_missing_image_in_the_upload(kormelt_device, tmp_path):
    missing = str(tmp_path / "missing.img")
    with kormelt.open() as device:
        with pytest.raises(kormelt.ImageError) as caught:
            device.program(missing)
    assert (caught.value.status, caught.value.phase) == (1, "upload")
    assert missing in str(caught.value)
    assert [r.kind for r in kormelt_device.requests()] == ["identify"]


# How the progress callable stops a call: the value it returns, or what it raises.
class Stop(Exception):
    pass


def _returns_false(phase, percent):
    return False


def _raises(phase, percent):
    raise Stop("stop at %s %d" % (phase, percent))


def _stop_at(target_phase, target_percent, how):
    def progress(phase, percent):
        if (phase, percent) == (target_phase, target_percent):
            return how(phase, percent)
        return None

    return progress


@pytest.mark.parametrize("how, kind", [(_returns_false, kormelt.Cancelled), (_raises, Stop)], ids=["false", "raise"])
@pytest.mark.parametrize(
    "phase, percent, requests",
    [("search", 0, []), ("erase", 28, ["identify", "erase", "erase"]), ("upload", 50, ["identify"] + ["erase"] * 7 + ["program"] * 4)],
)
def test_the_progress_callable_cancels(kormelt_device, make_image, how, kind, phase, percent, requests):
    path, _ = make_image(IMAGE_BYTES)
    with pytest.raises(kind) as caught:
        kormelt.update(path, progress=_stop_at(phase, percent, how))
    if kind is kormelt.Cancelled:
        assert (caught.value.status, caught.value.phase, caught.value.percent) == (12, phase, percent)
        retry = {
            "search": Sentence("retry_unchanged", again=AGAIN),
            "erase": Sentence("retry_erase_some", again=AGAIN, erased=2, blocks=7),
            "upload": UPLOAD_RETRY,
        }[phase]
        at = "" if phase == "search" else " at %d%%" % percent
        expected = Sentence("cancelled", phase=phase, at=at, status=12, closed="", retry=retry)
        assert expected.matches(str(caught.value)), (str(caught.value), expected)
    else:
        assert caught.value.__notes__ == ["The %s was cancelled because the progress callable raised this." % phase]
    assert [r.kind for r in kormelt_device.requests()] == requests
    assert descriptors_to(kormelt_device.path) == []


@pytest.mark.parametrize("answer", [None, True, 0, 1, ""])
def test_only_false_cancels(kormelt_device, answer):
    with kormelt.open(progress=lambda phase, percent: answer) as device:
        device.erase(progress=lambda phase, percent: answer)
    assert len(kormelt_device.requests()) == 8


def test_false_at_a_final_report_stops_the_update_before_the_next_phase(kormelt_device, make_image):
    path, _ = make_image(IMAGE_BYTES)
    with pytest.raises(kormelt.Cancelled) as caught:
        kormelt.update(path, progress=_stop_at("erase", 100, _returns_false))
    assert (caught.value.phase, caught.value.percent) == ("erase", 100)
    assert [r.kind for r in kormelt_device.requests()] == ["identify"] + ["erase"] * 7


def test_an_exception_at_a_final_report_is_raised_after_the_call(kormelt_device):
    with kormelt.open() as device:
        with pytest.raises(Stop) as caught:
            device.erase(progress=_stop_at("erase", 100, _raises))
    assert not hasattr(caught.value, "__notes__")  # it did not cancel anything
    assert len(kormelt_device.requests()) == 8  # the final report cannot stop the erase


def test_a_closed_device_refuses_before_reaching_the_library(kormelt_device, make_image):
    path, _ = make_image(IMAGE_BYTES)
    with kormelt.open() as device:
        pass
    # Another session's port may be in the library's slot by now.
    with kormelt.open() as other:
        for call in (device.erase, lambda: device.program(path), device.restart):
            with pytest.raises(kormelt.PortNotOpen) as caught:
                call()
            assert caught.value.status == 42
        assert not other.closed
    assert [r.kind for r in kormelt_device.requests()] == ["identify", "identify"]


def test_a_device_comes_only_from_open():
    with pytest.raises(TypeError, match="kormelt.open"):
        kormelt.Device(1)


def test_a_second_open_in_the_same_thread_is_refused_not_deadlocked(kormelt_device):
    with kormelt.open() as device:
        with pytest.raises(RuntimeError, match="already open"):
            kormelt.open()
        device.erase()  # the first session is untouched
    assert len(kormelt_device.requests()) == 8


def test_a_progress_callable_that_calls_the_library_gets_an_error(kormelt_device, make_image):
    path, _ = make_image(IMAGE_BYTES)
    with kormelt.open() as device:
        with pytest.raises(RuntimeError, match="busy"):
            device.erase(progress=lambda phase, percent: kormelt.check(path))
    assert [r.kind for r in kormelt_device.requests()] == ["identify"]


def test_a_library_call_from_another_thread_waits_for_the_call_running(kormelt_device, make_image):
    path, _ = make_image(IMAGE_BYTES)
    results = []
    with kormelt.open() as device:

        def check_meanwhile(phase, percent):
            if percent == 0:
                thread = threading.Thread(target=lambda: results.append(kormelt.check(path)))
                thread.start()
                thread.join(0.3)
                results.append(thread.is_alive())  # still waiting for the erase to end
                check_meanwhile.thread = thread

        device.erase(progress=check_meanwhile)
        check_meanwhile.thread.join()
    assert results == [True, True]
