"""Why this user may not open a port, and the command that fixes it: for open errors and for ``kivra doctor``."""

import grp
import os
import pwd
import stat
from typing import NamedTuple, Optional, Set

#: The udev rule that gives a port to the group dialout, readable and writable by it
#: (``/etc/udev/rules.d/70-kivra.rules``; the ids from ``udevadm info``).
UDEV_RULE = (
    'SUBSYSTEM=="tty", ATTRS{idVendor}=="<vendor id>", ATTRS{idProduct}=="<product id>", '
    'GROUP="dialout", MODE="0660", ENV{ID_MM_DEVICE_IGNORE}="1"'
)


class AccessProblem(NamedTuple):
    """Why this user cannot open a port (a sentence about the user and the port's group) and its fix."""

    reason: str
    fix: str


def user_name() -> str:
    try:
        return pwd.getpwuid(os.geteuid()).pw_name
    except KeyError:
        return "uid %d" % os.geteuid()


def group_name(gid: int) -> str:
    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return str(gid)


def owner_name(uid: int) -> str:
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def listed_groups(user: str) -> Set[int]:
    """The groups the user database gives user: in effect at the next login."""
    gids = {g.gr_gid for g in grp.getgrall() if user in g.gr_mem}
    try:
        gids.add(pwd.getpwnam(user).pw_gid)
    except KeyError:
        pass
    return gids


def access_problem(port: str, info: os.stat_result) -> Optional[AccessProblem]:
    """What keeps this user from reading and writing the port whose status is info; None when nothing does."""
    if os.access(port, os.R_OK | os.W_OK):
        return None
    user, group = user_name(), group_name(info.st_gid)
    if not info.st_mode & stat.S_IRGRP or not info.st_mode & stat.S_IWGRP:
        return AccessProblem(
            "%s cannot open it, and its group %s may not read and write it" % (user, group),
            "a udev rule that gives the port to the group dialout with mode 0660, in "
            "/etc/udev/rules.d/70-kivra.rules (the ids from 'udevadm info %s'): %s; "
            "then 'sudo udevadm control --reload && sudo udevadm trigger'" % (port, UDEV_RULE),
        )
    if info.st_gid in listed_groups(user) and info.st_gid not in os.getgroups():
        return AccessProblem(
            "%s is in the group %s, but not this session: it was added after the login" % (user, group),
            "log out and in again (or run 'newgrp %s' in this shell)" % group,
        )
    return AccessProblem(
        "%s cannot open it: the port belongs to the group %s, and %s is not in it" % (user, group, user),
        "sudo usermod -aG %s %s, then log out and in again" % (group, user),
    )
