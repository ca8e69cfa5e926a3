"""Haptic scenes: solids felt through a proxy, force fields, and force laws in C.

A scene is built in Python and handed to a running loop whole with
:meth:`kivra.ServoLoop.set_scene`; the servo thread switches to it between
two ticks and renders it every tick, beside the loop's effects, in C. SI
units throughout: metres, seconds, newtons.

Solids (:class:`Plane`, :class:`Sphere`, :class:`Box`, :class:`Capsule`,
:class:`Cylinder`, :class:`Mesh`) sit at a ``position`` [m] with an
``orientation`` (a unit quaternion w, x, y, z) and feel as their
:class:`Material` says. The hand pushes a proxy that stays on the surface,
so a thin solid pushes back the way the hand came. A solid with an ``id``
keeps its contact when a new scene moves it.

A stiffness above what the loop's rate keeps passive (2 (b + b_arm) f, with
b the damping, b_arm = :data:`DEVICE_DAMPING` and f the rate) is refused with
ValueError unless ``allow_active=True``; the loop then still releases a
solid that keeps giving the hand energy (:class:`SceneStatistics`).

:func:`describe` gives a part as plain JSON data, for a page or a file.
"""

import os
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from ._kivra_ffi import ffi, lib

Vector = Tuple[float, float, float]
Quaternion = Tuple[float, float, float, float]

#: Damping [N s/m] the arm is assumed to add to every rendered force.
DEVICE_DAMPING: float = 0.5
_UPRIGHT: Quaternion = (1.0, 0.0, 0.0, 0.0)


class Material(NamedTuple):
    """How a solid feels: stiffness [N/m], damping [N s/m] along the contact
    normal, Coulomb friction coefficients (the proxy sticks within the
    static cone and trails at the dynamic one while it slides)."""

    stiffness: float
    damping: float = 0.0
    static_friction: float = 0.0
    dynamic_friction: float = 0.0


class Plane(NamedTuple):
    """The half-space below z = 0 of its own frame (outward +z)."""

    material: Material
    position: Sequence[float] = (0.0, 0.0, 0.0)
    orientation: Sequence[float] = _UPRIGHT
    id: int = 0
    allow_active: bool = False


class Sphere(NamedTuple):
    """A ball of radius [m] centred at position."""

    radius: float
    material: Material
    position: Sequence[float] = (0.0, 0.0, 0.0)
    orientation: Sequence[float] = _UPRIGHT
    id: int = 0
    allow_active: bool = False


class Box(NamedTuple):
    """A box of half_extents [m] along its own x, y and z."""

    half_extents: Sequence[float]
    material: Material
    position: Sequence[float] = (0.0, 0.0, 0.0)
    orientation: Sequence[float] = _UPRIGHT
    id: int = 0
    allow_active: bool = False


class Capsule(NamedTuple):
    """The points within radius [m] of its axis, from -half_length to +half_length [m] along its own z."""

    radius: float
    half_length: float
    material: Material
    position: Sequence[float] = (0.0, 0.0, 0.0)
    orientation: Sequence[float] = _UPRIGHT
    id: int = 0
    allow_active: bool = False


class Cylinder(NamedTuple):
    """A cylinder of radius [m] along its own z, flat ends at +-half_length [m]."""

    radius: float
    half_length: float
    material: Material
    position: Sequence[float] = (0.0, 0.0, 0.0)
    orientation: Sequence[float] = _UPRIGHT
    id: int = 0
    allow_active: bool = False


class Mesh(NamedTuple):
    """Triangles from a binary or ASCII STL or an OBJ file; scale multiplies
    its coordinates (0.001 for a file in millimetres)."""

    path: Union[str, "os.PathLike[str]"]
    material: Material
    scale: float = 1.0
    position: Sequence[float] = (0.0, 0.0, 0.0)
    orientation: Sequence[float] = _UPRIGHT
    id: int = 0
    allow_active: bool = False


class Guide(NamedTuple):
    """Pulls the hand towards a path with stiffness [N/m], at most max_force
    [N], damping [N s/m] across it; motion along the path is free. points
    [m] are a polyline, or with spline_samples > 0 the control points of a
    Catmull-Rom spline sampled so many times a segment."""

    points: Sequence[Sequence[float]]
    stiffness: float
    max_force: float
    damping: float = 0.0
    spline_samples: int = 0


class Detents(NamedTuple):
    """Snap points [m], each pulling within its radius [m] with stiffness
    [N/m] and damping [N s/m], fading out over the outer fifth of it."""

    centres: Sequence[Sequence[float]]
    radii: Sequence[float]
    stiffness: float
    damping: float = 0.0


class ViscousBox(NamedTuple):
    """Damping [N s/m] inside the axis-aligned box from low to high [m]."""

    low: Sequence[float]
    high: Sequence[float]
    damping: float


class Texture(NamedTuple):
    """Ridges on a plane: amplitude [N] sin(2 pi s / wavelength) along its
    normal, s the distance [m] along tangent, within depth [m] below it."""

    point: Sequence[float]
    normal: Sequence[float]
    tangent: Sequence[float]
    wavelength: float
    amplitude: float
    depth: float


class Vibration(NamedTuple):
    """amplitude [N] sin(2 pi frequency [Hz] t + phase) along direction, from
    start [s] for duration [s] (0: for ever). Above half the loop's rate it aliases."""

    amplitude: float
    frequency: float
    direction: Sequence[float]
    phase: float = 0.0
    start: float = 0.0
    duration: float = 0.0


class CForceLaw(NamedTuple):
    """A force law in C, run by the servo thread after the solids and fields.

    Either ``path`` of a shared object exporting ``symbol`` (default
    ``kivra_force_law``) or ``function``, the address (an int, or a cffi
    pointer) of a compiled function of type ``void (*)(const
    kivra_force_input*, double[3], void*)``, such as one a cffi module
    compiled, never a Python callback: the servo thread must not enter the
    interpreter. context is passed to it.
    Over budget [s] (0: a fifth of the period) or with a force that is not
    finite, its force is dropped for that tick."""

    path: Optional[str] = None
    symbol: Optional[str] = None
    function: Any = None
    context: Any = None
    budget: float = 0.0


Solid = Union[Plane, Sphere, Box, Capsule, Cylinder, Mesh]
Part = Union[Solid, Guide, Detents, ViscousBox, Texture, Vibration, CForceLaw]


class SceneStatistics(NamedTuple):
    """What a loop counted of its scenes: ``released_shapes``, solids the energy watch let go (over every scene
    of the loop), and ``dropped_effect_ticks``, ticks a force law's force was left out (it overran its budget)."""

    released_shapes: int  # solids the energy watch released, over every scene of the loop
    dropped_effect_ticks: int  # ticks a force law's force was dropped


def _numbers(values: Sequence[float], count: int, name: str) -> List[float]:
    if len(values) != count:
        raise ValueError("%s has %d components, got %d" % (name, count, len(values)))
    return [float(v) for v in values]


_KINDS = {
    Plane: lib.KIVRA_SHAPE_PLANE,
    Sphere: lib.KIVRA_SHAPE_SPHERE,
    Box: lib.KIVRA_SHAPE_BOX,
    Capsule: lib.KIVRA_SHAPE_CAPSULE,
    Cylinder: lib.KIVRA_SHAPE_CYLINDER,
}


def _shape(solid: Solid) -> Any:
    c = ffi.new("kivra_shape*")
    if isinstance(solid, Sphere):
        c.size = (float(solid.radius), 0.0, 0.0)
    elif isinstance(solid, Box):
        c.size = _numbers(solid.half_extents, 3, "half_extents")
    elif isinstance(solid, (Capsule, Cylinder)):
        c.size = (float(solid.radius), float(solid.half_length), 0.0)
    if not isinstance(solid, Mesh):
        c.kind = _KINDS[type(solid)]
    c.pose.position = _numbers(solid.position, 3, "position")
    c.pose.orientation = _numbers(solid.orientation, 4, "orientation")
    m = solid.material
    c.material.stiffness, c.material.damping = float(m.stiffness), float(m.damping)
    c.material.static_friction, c.material.dynamic_friction = float(m.static_friction), float(m.dynamic_friction)
    c.id = int(solid.id)
    c.allow_active = 1 if solid.allow_active else 0
    return c


class _Builder:
    """The C interface's scene builder, filled from parts; its refusals become ValueError."""

    def __init__(self) -> None:
        handle = ffi.new("kivra_scene**")
        if lib.kivra_scene_create(handle) != lib.KIVRA_OK:
            raise MemoryError("no memory for a scene")
        self.handle = ffi.gc(handle[0], lib.kivra_scene_destroy)
        self.kept: List[Any] = []  # cffi objects the C side points into

    def check(self, status: int, what: str) -> None:
        if status == lib.KIVRA_OK:
            return
        if status == lib.KIVRA_INVALID_ARGUMENT:
            raise ValueError("%s: %s" % (what, ffi.string(lib.kivra_scene_error(self.handle)).decode()))
        if status == lib.KIVRA_OUT_OF_MEMORY:
            raise MemoryError("%s: no memory" % what)
        raise RuntimeError("%s: libkivra status %d" % (what, status))

    def add(self, part: Part) -> None:
        h, name = self.handle, type(part).__name__
        if isinstance(part, Mesh):
            path = os.fsencode(part.path)
            self.check(lib.kivra_scene_add_mesh(h, path, float(part.scale), _shape(part)), name)
        elif isinstance(part, (Plane, Sphere, Box, Capsule, Cylinder)):
            self.check(lib.kivra_scene_add_shape(h, _shape(part)), name)
        elif isinstance(part, Guide):
            flat = [x for p in part.points for x in _numbers(p, 3, "guide point")]
            self.check(lib.kivra_scene_add_guide(h, flat, len(part.points), int(part.spline_samples),
                                                 float(part.stiffness), float(part.damping),
                                                 float(part.max_force)), name)
        elif isinstance(part, Detents):
            flat = [x for p in part.centres for x in _numbers(p, 3, "detent centre")]
            radii = _numbers(part.radii, len(part.centres), "radii")
            self.check(lib.kivra_scene_add_detents(h, flat, radii, len(part.centres), float(part.stiffness),
                                                   float(part.damping)), name)
        elif isinstance(part, ViscousBox):
            self.check(lib.kivra_scene_add_viscous_box(h, _numbers(part.low, 3, "low"),
                                                       _numbers(part.high, 3, "high"), float(part.damping)), name)
        elif isinstance(part, Texture):
            self.check(lib.kivra_scene_add_texture(h, _numbers(part.point, 3, "point"),
                                                   _numbers(part.normal, 3, "normal"),
                                                   _numbers(part.tangent, 3, "tangent"), float(part.wavelength),
                                                   float(part.amplitude), float(part.depth)), name)
        elif isinstance(part, Vibration):
            self.check(lib.kivra_scene_add_vibration(h, float(part.amplitude), float(part.frequency),
                                                     _numbers(part.direction, 3, "direction"), float(part.phase),
                                                     float(part.start), float(part.duration)), name)
        elif isinstance(part, CForceLaw):
            context = ffi.NULL if part.context is None else part.context
            self.kept.append(context)
            if (part.path is None) == (part.function is None):
                raise ValueError("CForceLaw: give either path or function")
            if part.path is not None:
                symbol = ffi.NULL if part.symbol is None else part.symbol.encode()
                self.check(lib.kivra_scene_add_force_law_from(h, os.fsencode(part.path), symbol, context,
                                                              float(part.budget)), name)
            else:
                law = ffi.cast("kivra_force_law_fn", part.function)
                self.kept.append(part.function)
                self.check(lib.kivra_scene_add_force_law(h, law, context, float(part.budget)), name)
        else:
            raise TypeError("not a part of a scene: %r" % (part,))


_PARTS = (Plane, Sphere, Box, Capsule, Cylinder, Mesh, Guide, Detents, ViscousBox, Texture, Vibration, CForceLaw)


def _plain(value: Any) -> Any:
    if isinstance(value, Material):
        return {name: float(v) for name, v in value._asdict().items()}
    if isinstance(value, (str, bytes, os.PathLike)):
        return os.fsdecode(value)
    if value is None or isinstance(value, (bool, int, float)):
        return value
    return [_plain(v) for v in value]


def _solid_bounds(solid: Solid) -> Optional[Dict[str, List[float]]]:
    builder = _Builder()
    try:
        builder.add(solid)
    except ValueError:
        return None
    low, high = ffi.new("double[3]"), ffi.new("double[3]")
    builder.check(lib.kivra_scene_shape_bounds(builder.handle, 0, low, high), type(solid).__name__)
    return {"low": list(low), "high": list(high)}


def describe(part: Part) -> Dict[str, Any]:
    """part as plain JSON data: ``"kind"``, its class's name, then its fields,
    vectors as lists [m] and a material as a mapping. A :class:`Mesh` adds
    ``"bounds"``, the box ``{"low": ..., "high": ...}`` [m] around its
    triangles in its own frame as read and scaled (None when its file cannot
    be read); a :class:`CForceLaw` leaves out function and context, which are
    addresses."""
    if not isinstance(part, _PARTS):
        raise TypeError("not a part of a scene: %r" % (part,))
    fields = part._asdict()
    if isinstance(part, CForceLaw):
        del fields["function"], fields["context"]
    described: Dict[str, Any] = {"kind": type(part).__name__}
    described.update((name, _plain(value)) for name, value in fields.items())
    if isinstance(part, Mesh):
        described["bounds"] = _solid_bounds(part)
    return described
