'''python3-dbusmock template: a file chooser portal. It writes the last OpenFile call into the file
named by the parameter "asked", as "title | accept_label | multiple | directory | filters |
current_folder" in Python's notation ("-" when absent), then answers with the parameters
"response" and "uris", or never when there is no "response".'''
import dbus

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.FileChooser'
SYSTEM_BUS = False
SHOWN = ('accept_label', 'multiple', 'directory', 'filters', 'current_folder')


def load(mock, parameters):
    mock.parameters = parameters


def plain(value):
    '''A D-Bus value in Python's own types, byte arrays as bytes.'''
    if isinstance(value, dbus.Array) and value.signature == 'y':
        return bytes(value)
    if isinstance(value, dbus.Struct):
        return tuple(plain(item) for item in value)
    if isinstance(value, dbus.Array):
        return [plain(item) for item in value]
    if isinstance(value, dbus.Boolean):
        return bool(value)
    return str(value) if isinstance(value, str) else int(value)


@dbus.service.method(MAIN_IFACE, in_signature='ssa{sv}', out_signature='o', sender_keyword='sender')
def OpenFile(self, _parent_window, title, options, sender):
    with open(self.parameters['asked'], 'w', encoding='utf-8') as asked:
        asked.write(' | '.join([repr(str(title))] + [
            repr(plain(options[key])) if key in options else '-' for key in SHOWN]))
    path = '/org/freedesktop/portal/desktop/request/%s/%s' % (
        sender[1:].replace('.', '_'), options['handle_token'])
    if 'response' in self.parameters:
        # Before the reply, as a quick portal may: a caller that subscribes late misses it.
        self.EmitSignalDetailed('org.freedesktop.portal.Request', 'Response', 'ua{sv}', [
            dbus.UInt32(self.parameters['response']),
            {'uris': dbus.Array(self.parameters.get('uris', []), signature='s')}], {'path': path})
    return path
