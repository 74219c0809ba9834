# python3-dbusmock's bluez5 template with bluetoothd's external profiles
# (bluez_profiles.py), in place before the mock serves its first call.
import os

from dbusmock.templates.bluez5 import *  # noqa: F401,F403
from dbusmock.templates import bluez5 as _bluez5
from dbusmock import mockobject as _mockobject


def load(mock, parameters):
    _bluez5.load(mock, parameters)
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'bluez_profiles.py')
    namespace = {'__name__': 'bluez_profiles'}
    exec(compile(open(path).read(), path, 'exec'), namespace)  # pylint: disable=exec-used
    namespace['install'](_mockobject.objects)
