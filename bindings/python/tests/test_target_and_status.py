"""Targets refused before anything starts, and status lines read as errors."""

import pytest

import pcmtap
from pcmtap import _capture
from pcmtap._errors import ReadyInfo, parse_status
from pcmtap._format import format_args
from pcmtap._target import target_args


@pytest.fixture
def no_spawn(monkeypatch):
    def refuse(argv):
        raise AssertionError("spawned %r" % argv)
    monkeypatch.setattr(_capture, "spawn", refuse)
    monkeypatch.setenv("PCMTAP_PATH", "/nonexistent/pcmtap")  # the target is checked first


@pytest.mark.parametrize("start", [pcmtap.capture, pcmtap.open_capture])
@pytest.mark.parametrize("target, error", [
    ({"include": 0}, ValueError),
    ({"include": -1}, ValueError),  # pcmtap would read 4294967295
    ({"exclude": 2**32}, ValueError),
    ({"mix": True}, TypeError),
    ({"include": "1234"}, TypeError),
    ({"include": 12.0}, TypeError),
    ({"hwnd": 0}, ValueError),
    ({"hwnd": 2**64}, ValueError),
    ({}, TypeError),
    ({"include": 5, "exclude": 6}, TypeError),
    ({"app": ""}, ValueError), ({"app": "bin/game"}, ValueError), ({"app": "C:\\game.exe"}, ValueError),
    ({"app": "x" * 261}, ValueError), ({"app": "\U0001f3b5" * 131}, ValueError),  # 262 UTF-16 units
    ({"app": b"game"}, TypeError),
    ({"include": []}, TypeError), ({"exclude": ()}, TypeError), ({"mix": [5]}, TypeError),
    ({"include": [5, 0]}, ValueError), ({"hwnd": [1, "2"]}, TypeError), ({"app": ["game", None]}, TypeError),
    ({"include": [5], "exclude": 6}, TypeError), ({"app": "game", "exclude": [6]}, TypeError),
    ({"hwnd": 1, "exclude": 6}, TypeError), ({"mix": 5, "app": []}, TypeError),
    ({"include": 1, "rate": 7999}, ValueError), ({"include": 1, "rate": 192001}, ValueError),
    ({"include": 1, "rate": 16000.0}, TypeError), ({"include": 1, "rate": "16000"}, TypeError),
    ({"include": 1, "channels": 0}, ValueError), ({"include": 1, "channels": 3}, ValueError),
    ({"include": 1, "channels": True}, TypeError), ({"include": 1, "format": "F32LE"}, ValueError),
    ({"include": 1, "format": "s24le"}, ValueError), ({"include": 1, "format": b"f32le"}, TypeError),
] + [({"app": ["game", bad]}, ValueError) for bad in (  # names no Windows file has, or invalid UTF-8
    "C:player.exe", "a*", "a?", 'a"b', "a<b>", "a|b", "a\x1fb", "game.", "game ", "\udcff", "a\ud83c")])
def test_bad_target_is_refused_before_spawning(no_spawn, start, target, error):
    with pytest.raises(error):
        start(**target)


@pytest.mark.parametrize("target, argv", [
    ({"include": 4294967295}, ["--include", "4294967295"]),
    ({"hwnd": 2**64 - 1}, ["--hwnd", "18446744073709551615"]),
    ({"app": "\u00e9" * 260}, ["--app", "\u00e9" * 260]),
    ({"app": ["\U0001f3b5 v1.2.exe", "Teams"], "include": []}, ["--app", "\U0001f3b5 v1.2.exe", "--app", "Teams"]),
    ({"include": (5, 7), "hwnd": [10, 11], "app": "a"},
     ["--include", "5", "--add-include", "7", "--add-hwnd", "10", "--add-hwnd", "11", "--app", "a"]),
    ({"hwnd": [10, 11]}, ["--hwnd", "10", "--add-hwnd", "11"]),
    ({"exclude": [5, 6, 7]}, ["--exclude", "5", "--add-exclude", "6", "--add-exclude", "7"]),
    ({"include": 5, "rate": 8000, "channels": 1, "format": "f32le"},
     ["--include", "5", "--rate", "8000", "--channels", "1", "--format", "f32le"]),
    ({"app": "a", "rate": 192000}, ["--app", "a", "--rate", "192000"]),
    ({"hwnd": 9, "channels": 2, "format": "s16le"}, ["--hwnd", "9", "--channels", "2", "--format", "s16le"]),
])
def test_targets_become_the_exact_command_line(target, argv):
    assert target_args(target.get("include"), target.get("exclude"), None, target.get("hwnd"),
                       target.get("app")) + format_args(target.get("rate"), target.get("channels"),
                                                        target.get("format"))[0] == argv


# Cases with logic of their own; the other named codes come from the same table.
@pytest.mark.parametrize("line, stage, hresult, code, advice", [
    ("ERROR args 0x80070057", "args", 0x80070057, "E_INVALIDARG", "non-zero process id"),
    ("ERROR activate-result 0x80070002", "activate-result", 0x80070002, "ERROR_FILE_NOT_FOUND",
     "19041"),
    ("ERROR initialize 0x80070002", "initialize", 0x80070002, "ERROR_FILE_NOT_FOUND",
     "device was not found"),
    ("ERROR event 0x80070020", "event", 0x80070020, "HRESULT_0x80070020", "Win32 error 32"),
    ("ERROR start 0x8889000a", "start", 0x8889000A, "HRESULT_0x8889000a", "no advice"),
    ("ERROR output 0x80070032", "output", 0x80070032, "HRESULT_0x80070032", "is a console"),
    ("ERROR start 0x80070032", "start", 0x80070032, "HRESULT_0x80070032", "Win32 error 50"),
])
def test_error_lines_give_stage_unsigned_hresult_code_and_advice(line, stage, hresult, code,
                                                                 advice):
    error = parse_status(line)
    assert isinstance(error, pcmtap.PcmtapError)
    assert (error.stage, error.hresult, error.code) == (stage, hresult, code)
    assert "0x%08x" % hresult in str(error) and advice in str(error), str(error)


@pytest.mark.parametrize("line, expected", [
    ("READY 4294967295", ReadyInfo(4294967295, None)),
    ("READY mix 7", ReadyInfo(None, 7)),
    ("READY app 2", ReadyInfo(None, 2)),
    ("READY include 2", ReadyInfo(None, 2)),
    ("READY exclude 3", ReadyInfo(None, 3)),
    ("READY 12abc", None),
    ("ERROR buffer 88890004", None),
    ("Failed to create secure directory", None),
])
def test_ready_lines_and_noise(line, expected):
    assert parse_status(line) == expected
