"""A host of the simulator build for its tests: python3 sim_host.py LIBRARY STEP...

Steps, run in order; prints "STEP = RESULT" for each, then all of them on
one line, "; " between them:
  init PORT       KXReaderInit on PORT (100: the USB reader)
  status          GetReaderStatus of the contact card: its code and the
                  whole seconds it took
  password MODE   KXReadPassword from the PIN pad: its code and the keys
  verify PIN      KXCardVerifyPIN: its code
"""
import ctypes
import sys
import time

kx = ctypes.CDLL(sys.argv[1])
steps = sys.argv[2:]
done = []
while steps:
    step = steps.pop(0)
    if step == "init":
        port = steps.pop(0)
        step += " " + port
        params = (ctypes.c_int * 2)(int(port), 9600)
        result = kx.KXReaderInit(params, ctypes.byref(ctypes.c_uint(0)))
    elif step == "status":
        kx.KXSelectIFD(0, 12)
        status = ctypes.c_char(b"0")
        start = time.monotonic()
        code = kx.GetReaderStatus(0, ctypes.byref(status))
        result = f"{code} after {int(time.monotonic() - start)} s"
    elif step == "password":
        keys = ctypes.create_string_buffer(64)
        code = kx.KXReadPassword(int(steps.pop(0)), keys)
        result = f"{code} {keys.value.decode()}"
    elif step == "verify":
        tries = ctypes.c_int(0)
        result = kx.KXCardVerifyPIN(0, steps.pop(0).encode(), ctypes.byref(tries))
    print(f"{step} = {result}", flush=True)
    done.append(f"{step} = {result}")
print("steps:", "; ".join(done))
