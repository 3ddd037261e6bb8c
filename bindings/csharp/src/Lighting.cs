using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;
using Veltari.Native;

namespace Veltari
{
    /// <summary>
    /// The lighting of the machine, through the native Veltari library (veltari.dll on Windows,
    /// libveltari.so on Linux) and the lighting server it talks to.
    /// </summary>
    /// <remarks>
    /// Call <see cref="Handshake"/> first, and again after a <see cref="ServerUnreachableException"/>:
    /// it is the only call that (re)connects. Every failure throws a <see cref="VeltariException"/>.
    /// Every member may be called from any thread; the library serialises requests, one in flight per
    /// process. Events and task completions come from threads of the native library, never from the
    /// thread that subscribed: a game engine must hand them to its main thread itself (see the README).
    /// </remarks>
    public static unsafe partial class Lighting
    {
        // Colours handed to the library are staged in this array when the caller's collection is not
        // already an array, so that a frame loop's repeated calls allocate nothing. One per thread (the
        // library reads it only during the call), taken away while a call uses it, so that a call made
        // from inside the caller's enumeration stages into an array of its own.
        [ThreadStatic] private static LedColor[] spare;

        /// <summary>
        /// Connects to the lighting server when there is no live connection and exchanges protocol
        /// versions. Call it first, and again whenever a call throws <see cref="ServerUnreachableException"/>.
        /// Subscriptions to <see cref="KeyPressed"/> are registered again on the new connection. Do not call
        /// it from a <see cref="KeyPressed"/> handler while the connection is broken: the library refuses
        /// to reconnect from its own thread and this throws <see cref="ServerUnreachableException"/>.
        /// </summary>
        /// <returns>What the library and the server said about themselves.</returns>
        /// <exception cref="ServerUnreachableException">No server answered.</exception>
        /// <exception cref="VeltariException">Connected, but key presses could not be registered again.</exception>
        public static ProtocolDetails Handshake()
        {
            VeltariProtocolDetails details = NativeMethods.VeltariPerformProtocolHandshake();
            if (details.serverVersion == IntPtr.Zero)
            {
                throw Failure("Handshake");
            }
            ReregisterKeyPresses();
            return new ProtocolDetails(Utf8(details.sdkVersion), Utf8(details.serverVersion),
                                       details.sdkProtocolVersion, details.serverProtocolVersion,
                                       details.breakingChanges != 0);
        }

        /// <summary>How many devices the server has; indices run from 0 to the count minus 1.</summary>
        /// <exception cref="NoHandshakeException"/>
        /// <exception cref="ServerUnreachableException"/>
        public static int DeviceCount()
        {
            int count = NativeMethods.VeltariGetDeviceCount();
            if (count < 0)
            {
                throw Failure("DeviceCount");
            }
            return count;
        }

        /// <summary>Describes one device: type, model, layouts, capabilities, LED count and channels.</summary>
        /// <param name="deviceIndex">The device, 0 or more.</param>
        /// <exception cref="BadArgumentException">A negative index, or the server has no such device.</exception>
        public static DeviceInfo GetDeviceInfo(int deviceIndex)
        {
            VeltariDeviceInfo* info = NativeMethods.VeltariGetDeviceInfo(deviceIndex);
            if (info == null)
            {
                throw Failure("GetDeviceInfo");
            }
            var channels = new Channel[Math.Max(0, info->channelsCount)];
            for (int i = 0; i < channels.Length; ++i)
            {
                VeltariChannel* channel = info->channels + i;
                var devices = new ChannelDevice[Math.Max(0, channel->devicesCount)];
                for (int d = 0; d < devices.Length; ++d)
                {
                    devices[d] = new ChannelDevice(channel->devices[d].type, channel->devices[d].deviceLedCount);
                }
                channels[i] = new Channel(channel->totalLedsCount, devices);
            }
            return new DeviceInfo(deviceIndex, info->type, Utf8(info->model) ?? string.Empty, info->physicalLayout,
                                  info->logicalLayout, info->capsMask, info->ledsCount, channels);
        }

        /// <summary>Where the LEDs sit that the server lists without a device (the reference server lists
        /// every device's, on one virtual desk).</summary>
        public static IReadOnlyList<LedPosition> GetLedPositions()
        {
            return Positions(NativeMethods.VeltariGetLedPositions(), "GetLedPositions");
        }

        /// <summary>Where the LEDs of one device sit. Needs a server of protocol 3 or later.</summary>
        /// <param name="deviceIndex">The device, 0 or more.</param>
        public static IReadOnlyList<LedPosition> GetLedPositions(int deviceIndex)
        {
            return Positions(NativeMethods.VeltariGetLedPositionsByDeviceIndex(deviceIndex), "GetLedPositions");
        }

        /// <summary>The LED id of a letter key, 'A' to 'Z' or 'a' to 'z' (sent as it is, no case folding).</summary>
        /// <returns>The LED id, or 0 when the server knows none for that key.</returns>
        /// <exception cref="BadArgumentException">Not an ASCII letter.</exception>
        public static int GetLedIdForKey(char letter)
        {
            // Anything beyond ASCII goes as 0, which the library refuses like any other non-letter.
            int ledId = NativeMethods.VeltariGetLedIdForKeyName(letter < 0x80 ? (byte)letter : (byte)0);
            if (ledId == 0 && NativeMethods.VeltariGetLastError() != 0)
            {
                throw Failure("GetLedIdForKey");
            }
            return ledId;
        }

        /// <summary>
        /// Sets the colours of the listed LEDs now and waits for the server's answer. An array is handed to
        /// the library as it is; any other collection is copied into a buffer kept per thread, so repeated
        /// calls allocate nothing.
        /// </summary>
        /// <param name="colors">One or more colours: LED ids 0 to 911, each at most once, intensities 0 to 255.</param>
        /// <exception cref="ArgumentNullException"/>
        /// <exception cref="BadArgumentException">An empty list, a value out of range, an LED twice, or an LED the server does not have.</exception>
        public static void SetColors(IEnumerable<LedColor> colors)
        {
            LedColor[] array = Stage(colors, out int count, out bool staged);
            try
            {
                fixed (LedColor* pointer = array)
                {
                    if (NativeMethods.VeltariSetLedsColors(count, pointer) == 0)
                    {
                        throw Failure("SetColors");
                    }
                }
            }
            finally
            {
                GiveBack(array, staged);
            }
        }

        /// <summary>Reads the current colours of the listed LEDs. Needs a server of protocol 4 or later.</summary>
        /// <param name="ledIds">One or more LED ids, 0 to 911, each at most once.</param>
        /// <returns>The colour of each LED, by LED id.</returns>
        public static IReadOnlyDictionary<int, Rgb> GetColors(IEnumerable<int> ledIds)
        {
            return ReadColors(ledIds, null);
        }

        /// <summary>Reads the current colours of LEDs of one device. Needs a server of protocol 5 or later.</summary>
        /// <param name="deviceIndex">The device, 0 or more.</param>
        /// <param name="ledIds">One or more LED ids, 0 to 911, each at most once.</param>
        public static IReadOnlyDictionary<int, Rgb> GetColors(int deviceIndex, IEnumerable<int> ledIds)
        {
            return ReadColors(ledIds, deviceIndex);
        }

        /// <summary>
        /// Stores colours for one device in the process-wide colour buffer; sends nothing. A later colour
        /// for the same LED of the same device replaces the earlier one. Send the buffer with
        /// <see cref="FlushBuffer"/> or <see cref="FlushBufferAsync"/>. Needs a server of protocol 5 or later
        /// and a live connection.
        /// </summary>
        public static void BufferColors(int deviceIndex, IEnumerable<LedColor> colors)
        {
            LedColor[] array = Stage(colors, out int count, out bool staged);
            try
            {
                fixed (LedColor* pointer = array)
                {
                    if (NativeMethods.VeltariSetLedsColorsBufferByDeviceIndex(deviceIndex, count, pointer) == 0)
                    {
                        throw Failure("BufferColors");
                    }
                }
            }
            finally
            {
                GiveBack(array, staged);
            }
        }

        /// <summary>Sends everything in the colour buffer, for all devices, in one request and waits for the
        /// answer. The buffer is emptied also when the exchange then fails. Needs protocol 5 or later.</summary>
        public static void FlushBuffer()
        {
            if (NativeMethods.VeltariSetLedsColorsFlushBuffer() == 0)
            {
                throw Failure("FlushBuffer");
            }
        }

        /// <summary>
        /// Sets the priority of this application's lighting layer; the highest layer that set an LED is
        /// shown. Needs a server of protocol 4 or later.
        /// </summary>
        /// <param name="priority">0 to 255.</param>
        public static void SetLayerPriority(int priority)
        {
            if (NativeMethods.VeltariSetLayerPriority(priority) == 0)
            {
                throw Failure("SetLayerPriority");
            }
        }

        /// <summary>
        /// Asks for exclusive control of the lighting: while held, the server shows only this
        /// application's colours. Dispose the returned scope to give control back.
        /// </summary>
        /// <example><code>using (Lighting.RequestControl()) { Lighting.SetColors(colors); ... }</code></example>
        /// <exception cref="VeltariException">The server refused (code 0: it gave no reason; the reference server
        /// refuses while another application holds control).</exception>
        public static ControlScope RequestControl()
        {
            if (NativeMethods.VeltariRequestControl(0) == 0)
            {
                throw Failure("RequestControl");
            }
            return new ControlScope();
        }

        /// <summary>Reads a boolean device property. Needs a server of protocol 6 or later.</summary>
        /// <exception cref="BadArgumentException">A negative index, an id without the boolean flag, or a property
        /// the device does not have.</exception>
        public static bool GetBoolProperty(int deviceIndex, PropertyId property)
        {
            byte value;
            if (NativeMethods.VeltariGetBoolPropertyValue(deviceIndex, property.Value, &value) == 0)
            {
                throw Failure("GetBoolProperty");
            }
            return value != 0;
        }

        /// <summary>Reads a 32-bit integer device property. Needs a server of protocol 6 or later.</summary>
        /// <exception cref="BadArgumentException">A negative index, an id without the integer flag, or a property
        /// the device does not have.</exception>
        public static int GetInt32Property(int deviceIndex, PropertyId property)
        {
            int value;
            if (NativeMethods.VeltariGetInt32PropertyValue(deviceIndex, property.Value, &value) == 0)
            {
                throw Failure("GetInt32Property");
            }
            return value;
        }

        // The exception for the call that just failed on this thread.
        internal static VeltariException Failure(string what)
        {
            return VeltariException.For(NativeMethods.VeltariGetLastError(), what);
        }

        private static IReadOnlyDictionary<int, Rgb> ReadColors(IEnumerable<int> ledIds, int? deviceIndex)
        {
            if (ledIds == null)
            {
                throw new ArgumentNullException(nameof(ledIds));
            }
            int count = 0;
            LedColor[] array = Take(ledIds is ICollection<int> collection ? collection.Count : 0);
            try
            {
                foreach (int ledId in ledIds)
                {
                    if (count == array.Length)
                    {
                        array = Grow(array, count);
                    }
                    array[count++] = new LedColor(ledId, 0, 0, 0);
                }
                fixed (LedColor* pointer = array)
                {
                    byte ok = deviceIndex.HasValue
                                  ? NativeMethods.VeltariGetLedsColorsByDeviceIndex(deviceIndex.Value, count, pointer)
                                  : NativeMethods.VeltariGetLedsColors(count, pointer);
                    if (ok == 0)
                    {
                        throw Failure("GetColors");
                    }
                }
                var result = new Dictionary<int, Rgb>(count);
                for (int i = 0; i < count; ++i)
                {
                    result[array[i].LedId] = new Rgb((byte)array[i].R, (byte)array[i].G, (byte)array[i].B);
                }
                return result;
            }
            finally
            {
                GiveBack(array, true);
            }
        }

        // The colours as an array the library can read, and how many of its entries to pass; `staged`
        // when the array is this thread's staging array, to be given back after the call.
        internal static LedColor[] Stage(IEnumerable<LedColor> colors, out int count, out bool staged)
        {
            if (colors == null)
            {
                throw new ArgumentNullException(nameof(colors));
            }
            staged = !(colors is LedColor[]);
            if (!staged)
            {
                var array = (LedColor[])colors;
                count = array.Length;
                return array;
            }
            if (colors is ICollection<LedColor> collection)
            {
                count = collection.Count;
                LedColor[] copy = Take(count);
                collection.CopyTo(copy, 0);
                return copy;
            }
            count = 0;
            LedColor[] buffer = Take(0);
            foreach (LedColor color in colors)
            {
                if (count == buffer.Length)
                {
                    buffer = Grow(buffer, count);
                }
                buffer[count++] = color;
            }
            return buffer;
        }

        // This thread's staging array, at least `size` long, which the thread no longer holds until given back.
        private static LedColor[] Take(int size)
        {
            LedColor[] array = spare;
            spare = null;
            return array != null && array.Length >= size ? array : new LedColor[Math.Max(size, 64)];
        }

        private static LedColor[] Grow(LedColor[] array, int count)
        {
            var larger = new LedColor[array.Length * 2];
            Array.Copy(array, larger, count);
            return larger;
        }

        internal static void GiveBack(LedColor[] array, bool staged)
        {
            if (staged)
            {
                spare = array;
            }
        }

        private static IReadOnlyList<LedPosition> Positions(VeltariLedPositions* positions, string what)
        {
            if (positions == null)
            {
                throw Failure(what);
            }
            var result = new LedPosition[Math.Max(0, positions->positionsCount)];
            if (result.Length > 0)
            {
                long bytes = (long)result.Length * sizeof(LedPosition);
                fixed (LedPosition* target = result)
                {
                    Buffer.MemoryCopy(positions->positions, target, bytes, bytes);
                }
            }
            return result;
        }

        // The library's texts are NUL-terminated UTF-8.
        private static string Utf8(IntPtr text)
        {
            if (text == IntPtr.Zero)
            {
                return null;
            }
            byte* bytes = (byte*)text;
            int length = 0;
            while (bytes[length] != 0)
            {
                ++length;
            }
            return Encoding.UTF8.GetString(bytes, length);
        }
    }

    /// <summary>
    /// Exclusive control of the lighting, from <see cref="Lighting.RequestControl"/> until disposed.
    /// </summary>
    public sealed class ControlScope : IDisposable
    {
        private int released;

        internal ControlScope() { }

        /// <summary>Gives control back. Needs a server of protocol 2 or later.</summary>
        /// <exception cref="VeltariException">The release failed; control is then still held, or went with a
        /// lost connection.</exception>
        public void Release()
        {
            if (Interlocked.Exchange(ref released, 1) == 0 && NativeMethods.VeltariReleaseControl(0) == 0)
            {
                throw Lighting.Failure("ReleaseControl");
            }
        }

        /// <summary>Gives control back and never throws: when the connection is lost, the server has already
        /// dropped this application's control with it.</summary>
        public void Dispose()
        {
            if (Interlocked.Exchange(ref released, 1) == 0)
            {
                NativeMethods.VeltariReleaseControl(0);
            }
        }
    }
}
