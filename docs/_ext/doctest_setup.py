# Runs before the snippets of every page (and is checked with them by mypy):
# an emulated arm, whose port the snippets use where a program names its
# device, say "/dev/ttyACM0". It answers at real-time priority where
# allowed, as a device does on a processor of its own.
import kivra

emulator = kivra.Emulator("arm", realtime_priority=70)
port = emulator.port
