# Settings as properties, checked on the virtual camera's model and read
# back; errors with their classes, codes and messages; a closed camera.
import pytest

import vivazuzoz


def test_every_setting_reaches_the_camera_and_reads_back(vcam, open_camera, capfd):
    vcam.add_camera()
    cam = open_camera()
    assert capfd.readouterr().out == ""  # the capture core's lines go to the log

    # Values whose wire bytes hold 0x0D (a carriage return) among them.
    cam.palette = 13
    cam.temp_level = 2
    cam.temp_unit = 1
    cam.image_level = 6
    cam.env = vivazuzoz.EnvParams(emissivity=0.34, distance=3.25, atmos_temp=20.0,
                                  reflected_temp=30.0, transmittance=0.8)
    cam.set_image_param("contrast", 13)
    cam.set_image_param(vivazuzoz.IMAGE_PARAMS["brightness"], 7)
    cam.shutter()

    model = vcam.model(0)
    assert model["palette"] == 13
    assert model["temp_level_code"] == 3  # the camera's own code for level 2
    assert model["temp_unit"] == 1
    assert model["image_level"] == 6
    assert model["env"] == [200000, 32500, 3400, 300000, 8000]
    assert model["tuning"][2] == 13 and model["tuning"][3] == 7
    assert model["shutter_count"] == 1

    assert (cam.palette, cam.temp_level, cam.temp_unit, cam.image_level) == (13, 2, 1, 6)
    assert cam.env == vivazuzoz.EnvParams(emissivity=0.34, distance=3.25, atmos_temp=20.0,
                                          reflected_temp=30.0, transmittance=0.8)
    assert cam.get_image_param(2) == 13 and cam.get_image_param("brightness") == 7
    assert cam.fpa_temperature == pytest.approx(model["fpa_temp"] / 100)
    assert cam.camera_temperature == pytest.approx(model["camera_temp"] / 100)
    with pytest.raises(AttributeError):
        cam.fpa_temperature = 20.0


def test_a_partial_env_changes_only_the_fields_given(vcam, open_camera):
    vcam.add_camera()
    cam = open_camera()
    cam.env = vivazuzoz.EnvParams(emissivity=0.5, distance=2.5, atmos_temp=30.0, reflected_temp=28.0,
                                  transmittance=0.8)
    sent = vcam.request_count(0)

    cam.env = vivazuzoz.EnvParams(emissivity=0.95)
    assert vcam.model(0)["env"] == [300000, 25000, 9500, 280000, 8000]
    cam.env = vivazuzoz.EnvParams(emissivity=0.9, distance=1.0)  # the README's idiom
    assert cam.env == vivazuzoz.EnvParams(emissivity=0.9, distance=1.0, atmos_temp=30.0, reflected_temp=28.0,
                                          transmittance=0.8)
    assert vcam.request_count(0) > sent

    # Fields given are checked before anything is sent; those left out are not asked for.
    sent = vcam.request_count(0)
    with pytest.raises(vivazuzoz.InvalidParam) as invalid:
        cam.env = vivazuzoz.EnvParams(transmittance=1.5)
    assert "transmittance" in str(invalid.value)
    assert vcam.request_count(0) == sent
    assert vcam.model(0)["env"] == [300000, 10000, 9000, 280000, 8000]


def test_failures_raise_the_class_of_their_code_with_a_message_naming_the_call(vcam, open_camera):
    vcam.add_camera()
    cam = open_camera()

    vcam.set_port_fault(0, "silence")
    with pytest.raises(vivazuzoz.Error) as silent:
        cam.palette
    assert type(silent.value) is vivazuzoz.Error and silent.value.code == 1
    assert "OZL_USB_GetPalleteType" in str(silent.value)
    vcam.set_port_fault(0, "wrong-status")
    with pytest.raises(vivazuzoz.Error) as refused:
        cam.image_level = 1
    assert refused.value.code == 1 and "OZL_USB_SetImageLevel" in str(refused.value)
    vcam.set_port_fault(0, "none")

    with pytest.raises(vivazuzoz.Error) as out_of_range:  # the camera refuses palette 99
        cam.palette = 99
    assert out_of_range.value.code == 1
    assert cam.palette == vcam.model(0)["palette"] == 0

    # Checked before anything is sent.
    for bad in ("sharpness", 6, -1, True):
        with pytest.raises(vivazuzoz.InvalidParam) as invalid:
            cam.get_image_param(bad)
        assert invalid.value.code == 3 and isinstance(invalid.value, ValueError)
    with pytest.raises(vivazuzoz.InvalidParam):
        cam.read(timeout=-1)
    with pytest.raises(TypeError):
        cam.env = (0.9, 1.0, 25.0, 25.0, 1.0)
    with pytest.raises(TypeError):
        cam.on_exception(42)


def test_a_closed_camera_raises_on_every_use_and_closes_again_quietly(vcam, open_camera):
    vcam.add_camera()
    cam = open_camera()
    cam.close()
    assert cam.closed
    assert not vcam.video_open(0)
    uses = [
        lambda: cam.read(), lambda: cam.frames(), lambda: cam.palette, lambda: setattr(cam, "palette", 1),
        lambda: cam.temp_level, lambda: cam.env, lambda: cam.get_image_param("detail"),
        lambda: cam.set_image_param("detail", 1), lambda: cam.shutter(), lambda: cam.fpa_temperature,
        lambda: cam.on_exception(print),
    ]
    for use in uses:
        with pytest.raises(vivazuzoz.InvalidParam) as closed:
            use()
        assert closed.value.code == 3 and "closed" in str(closed.value)
    cam.close()
    with cam:
        pass
    assert "closed" in repr(cam)


def test_every_setting_of_the_table_is_a_property_that_round_trips(vcam, open_camera):
    vcam.add_camera()
    cam = open_camera()
    names = [s.name for s in vivazuzoz.SETTINGS]
    # The table the tool, the page and GStreamer use: spot-check its rows.
    for name in ("palette", "temp-level", "image-level", "emissivity", "contrast", "fpa-temp", "fpa-size"):
        assert name in names
    assert len(set(names)) == len(names)

    for setting in vivazuzoz.SETTINGS:
        assert setting.attribute == setting.name.replace("-", "_")
        prop = getattr(vivazuzoz.Camera, setting.attribute)
        assert isinstance(prop, property) and setting.description in prop.__doc__
        value = getattr(cam, setting.attribute)
        if setting.read_only:
            assert (prop.fset is None) and setting.group == "read-only"
            with pytest.raises(AttributeError):
                setattr(cam, setting.attribute, value)
            continue
        # A value inside the range other than the camera's, then one past each end.
        if setting.kind == "integer":
            wanted = 2 if value != 2 else 1
            assert isinstance(value, int)
        else:
            wanted = round(setting.minimum + (setting.maximum - setting.minimum) * 0.3721, setting.decimals)
        setattr(cam, setting.attribute, wanted)
        assert getattr(cam, setting.attribute) == wanted, setting.name
        for outside in (setting.minimum - 1, setting.maximum + 1):
            outside = int(outside) if setting.kind == "integer" else outside
            with pytest.raises(vivazuzoz.InvalidParam) as refused:
                setattr(cam, setting.attribute, outside)
            assert setting.name in str(refused.value)
        assert getattr(cam, setting.attribute) == wanted, setting.name

    # The image-tuning rows are IMAGE_PARAMS, by the camera's numbers.
    tuning = [s.attribute for s in vivazuzoz.SETTINGS if s.group == "image-tuning"]
    assert sorted(tuning) == sorted(vivazuzoz.IMAGE_PARAMS)
    assert vivazuzoz.IMAGE_PARAMS["brightness"] == 3 and cam.get_image_param(3) == cam.brightness
    assert cam.fpa_size == (cam.width, cam.height)
    assert cam.fpa_temperature == cam.fpa_temp
    with pytest.raises(TypeError):
        cam.palette = 1.5
    with pytest.raises(TypeError):
        cam.emissivity = True
