"""A pytest plugin for systems without a vcan interface (tools/check-wheels): leaves out every
test whose fixtures reach can_iface, and the C++ package test, which builds from source."""

NEEDS_A_COMPILER = "test_doctor_cpp_package.py"


def pytest_collection_modifyitems(config, items):
    kept, left_out = [], []
    for item in items:
        needs_can = "can_iface" in getattr(item, "fixturenames", ())
        (left_out if needs_can or item.path.name == NEEDS_A_COMPILER else kept).append(item)
    config.hook.pytest_deselected(items=left_out)
    items[:] = kept
