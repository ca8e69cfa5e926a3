"""kivra's tools, above the library: the ``kivra`` command, the doctor, the terminal monitor and the web view.

The library (``kivra``) never imports them; ``kivra.web(loop)`` loads the web
view when it is first called.
"""
