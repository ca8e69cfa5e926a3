#pragma once

#include <array>

#include "KivraHardwareAPI/KinematicModel.h"

namespace kivra_emulator {

using Vec3 = std::array<double, 3>;
using Float3 = std::array<float, 3>;

// The arm in joint space, stepped in real time: three joints (head, inner
// arm, outer arm) with inertia, viscous damping and end stops, driven by the
// torques that the last command implies. Readings are the raw joint angles
// the device reports [deg]; the end effector is the library's forward
// kinematics of those readings with the default model, so the device's
// position and the host's computation of it agree.
class ArmSimulation {
public:
    enum class Mode { limp, force, position, joint_torques, joint_angles };

    // watchdog [s]: a command older than this is dropped and the arm goes limp.
    explicit ArmSimulation(double watchdog, double now);

    void command(Mode mode, const Float3& values, double now);
    // A force [N] on the end effector from outside (a hand), until the next call.
    void push(const Vec3& force, double now);
    // Steps the simulation up to `now` in fixed steps.
    void advance(double now);

    Float3 readings() const;          // [deg]
    Float3 joint_velocities() const;  // [deg/s]
    Float3 position() const;          // forward kinematics of readings() [m]
    Float3 velocity() const;          // [m/s]
    Float3 motor_currents() const;    // [A]
    float temperature() const;        // [degrees Celsius]

    static constexpr double STEP = 0.001;  // [s]
    static const Vec3 HOME;                // readings at power-on [deg]

private:
    using Matrix3 = std::array<Vec3, 3>;  // [row][column]

    void step();
    Vec3 forward(const Vec3& r) const;
    // d position / d joint angle [m/rad], column per joint; false where the
    // model gives no number.
    bool jacobian(const Vec3& r, Matrix3& j) const;
    Vec3 motor_torques(const Matrix3& j, bool have_j) const;

    Kivra::HardwareAPI::Devices::KinematicModel model;
    double watchdog;
    double time;     // simulated time [s]
    Vec3 angles;     // readings [deg]
    Vec3 rates{};    // [deg/s]
    Vec3 torques{};  // motor torques of the last step [N m]
    double celsius;

    Vec3 pushed{};  // [N] by a hand
    Mode mode = Mode::limp;
    Vec3 target{};
    double command_time;
};

}  // namespace kivra_emulator
