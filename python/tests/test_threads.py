"""The library runs one call at a time and has one port: calls from several
threads are serialised, and a device session holds the port to its end."""

import threading

import kormelt
from conftest import descriptors_to

IMAGE_BYTES = 8192  # 64 packets: long enough for two updates to overlap
JOIN_TIMEOUT_S = 60


def test_two_updates_at_once_run_one_after_the_other(kormelt_device, make_image):
    images = [make_image(IMAGE_BYTES, seed=seed) for seed in (1, 2)]
    start = threading.Barrier(len(images))
    errors = []

    def run(path):
        try:
            start.wait()
            kormelt.update(path)
        except BaseException as error:  # reported by the test below
            errors.append(error)

    threads = [threading.Thread(target=run, args=(path,)) for path, _ in images]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT_S)
    assert errors == []

    # Two whole updates in the log, one after the other, never mixed.
    kinds = [r.kind for r in kormelt_device.requests()]
    one = ["identify"] + ["erase"] * 7 + ["program"] * (IMAGE_BYTES // 128) + ["restart"]
    assert kinds == one + one
    programs = [r for r in kormelt_device.requests() if r.kind == "program"]
    first, second = programs[: len(programs) // 2], programs[len(programs) // 2 :]
    written = {b"".join(r.data for r in first), b"".join(r.data for r in second)}
    assert written == {image for _, image in images}
    assert descriptors_to(kormelt_device.path) == []


def test_open_in_another_thread_waits_for_the_device_to_be_closed(kormelt_device):
    events = []
    opened = threading.Event()

    def second():
        with kormelt.open():
            events.append("second open")
            opened.set()

    with kormelt.open():
        thread = threading.Thread(target=second)
        thread.start()
        # The second search would close this session's port if it ran now.
        assert not opened.wait(0.5)
        events.append("first close")
    thread.join(JOIN_TIMEOUT_S)
    assert events == ["first close", "second open"]
    assert [r.kind for r in kormelt_device.requests()] == ["identify", "identify"]
