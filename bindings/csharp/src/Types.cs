using System;
using System.Collections.Generic;
using System.Globalization;
using System.Runtime.InteropServices;

namespace Veltari
{
    /// <summary>A colour: red, green and blue intensities from 0 to 255.</summary>
    public readonly struct Rgb : IEquatable<Rgb>
    {
        /// <summary>Makes a colour.</summary>
        public Rgb(byte r, byte g, byte b)
        {
            R = r;
            G = g;
            B = b;
        }

        /// <summary>Red intensity.</summary>
        public byte R { get; }
        /// <summary>Green intensity.</summary>
        public byte G { get; }
        /// <summary>Blue intensity.</summary>
        public byte B { get; }

        /// <inheritdoc/>
        public bool Equals(Rgb other) => R == other.R && G == other.G && B == other.B;
        /// <inheritdoc/>
        public override bool Equals(object obj) => obj is Rgb other && Equals(other);
        /// <inheritdoc/>
        public override int GetHashCode() => (R << 16) | (G << 8) | B;
        /// <summary>The colour as #RRGGBB.</summary>
        public override string ToString() => string.Format(CultureInfo.InvariantCulture, "#{0:X2}{1:X2}{2:X2}", R, G, B);
        /// <summary>Compares two colours.</summary>
        public static bool operator ==(Rgb left, Rgb right) => left.Equals(right);
        /// <summary>Compares two colours.</summary>
        public static bool operator !=(Rgb left, Rgb right) => !left.Equals(right);
    }

    /// <summary>
    /// The colour of one LED: an LED id from 0 to 911 and intensities from 0 to 255. Values out of range
    /// are refused by the library when the colour is used (<see cref="BadArgumentException"/>). The layout
    /// is the C record's, so arrays of it go to the library without a copy.
    /// </summary>
    [StructLayout(LayoutKind.Sequential)]
    public readonly struct LedColor : IEquatable<LedColor>
    {
        private readonly int ledId;
        private readonly int r;
        private readonly int g;
        private readonly int b;

        /// <summary>Makes the colour of one LED.</summary>
        public LedColor(int ledId, int r, int g, int b)
        {
            this.ledId = ledId;
            this.r = r;
            this.g = g;
            this.b = b;
        }

        /// <summary>Makes the colour of one LED.</summary>
        public LedColor(int ledId, Rgb color) : this(ledId, color.R, color.G, color.B) { }

        /// <summary>The LED id, 0 to 911.</summary>
        public int LedId => ledId;
        /// <summary>Red intensity, 0 to 255.</summary>
        public int R => r;
        /// <summary>Green intensity, 0 to 255.</summary>
        public int G => g;
        /// <summary>Blue intensity, 0 to 255.</summary>
        public int B => b;

        /// <inheritdoc/>
        public bool Equals(LedColor other) => ledId == other.ledId && r == other.r && g == other.g && b == other.b;
        /// <inheritdoc/>
        public override bool Equals(object obj) => obj is LedColor other && Equals(other);
        /// <inheritdoc/>
        public override int GetHashCode() => (((ledId * 31 + r) * 31 + g) * 31) + b;
        /// <inheritdoc/>
        public override string ToString() => string.Format(CultureInfo.InvariantCulture, "{0}={1},{2},{3}", ledId, r, g, b);
    }

    /// <summary>Where one LED sits, in the server's units (the reference server's are millimetres).</summary>
    [StructLayout(LayoutKind.Sequential)]
    public readonly struct LedPosition
    {
        private readonly int ledId;
        private readonly double top;
        private readonly double left;
        private readonly double height;
        private readonly double width;

        /// <summary>Makes a position (the library makes them; this is for tests and tools).</summary>
        public LedPosition(int ledId, double top, double left, double height, double width)
        {
            this.ledId = ledId;
            this.top = top;
            this.left = left;
            this.height = height;
            this.width = width;
        }

        /// <summary>The LED id, 1 to 911.</summary>
        public int LedId => ledId;
        /// <summary>Distance of the LED's top edge from the device's top edge.</summary>
        public double Top => top;
        /// <summary>Distance of the LED's left edge from the device's left edge.</summary>
        public double Left => left;
        /// <summary>Height of the LED's area.</summary>
        public double Height => height;
        /// <summary>Width of the LED's area.</summary>
        public double Width => width;

        /// <inheritdoc/>
        public override string ToString() =>
            string.Format(CultureInfo.InvariantCulture, "LED {0} at {1},{2} size {3}x{4}", ledId, left, top, width, height);
    }

    /// <summary>What <see cref="Lighting.Handshake"/> learnt about the library and the server.</summary>
    public sealed class ProtocolDetails
    {
        internal ProtocolDetails(string sdkVersion, string serverVersion, int sdkProtocolVersion,
                                 int serverProtocolVersion, bool breakingChanges)
        {
            SdkVersion = sdkVersion;
            ServerVersion = serverVersion;
            SdkProtocolVersion = sdkProtocolVersion;
            ServerProtocolVersion = serverProtocolVersion;
            BreakingChanges = breakingChanges;
        }

        /// <summary>The native library's version text.</summary>
        public string SdkVersion { get; }
        /// <summary>The server's version text, as the server sent it (empty when its answer did not parse).</summary>
        public string ServerVersion { get; }
        /// <summary>The native library's protocol version.</summary>
        public int SdkProtocolVersion { get; }
        /// <summary>The server's protocol version.</summary>
        public int ServerProtocolVersion { get; }
        /// <summary>True when the server declares its protocol incompatible with the library's; decide
        /// yourself whether to go on.</summary>
        public bool BreakingChanges { get; }
    }

    /// <summary>A device attached to a channel of an LED controller.</summary>
    public sealed class ChannelDevice
    {
        internal ChannelDevice(int type, int ledCount)
        {
            Type = type;
            LedCount = ledCount;
        }

        /// <summary>Device type code, as the server defines it.</summary>
        public int Type { get; }
        /// <summary>Number of LEDs of this attached device.</summary>
        public int LedCount { get; }
    }

    /// <summary>One lighting channel of a device (for example one connector of a strip controller).</summary>
    public sealed class Channel
    {
        internal Channel(int totalLedCount, IReadOnlyList<ChannelDevice> devices)
        {
            TotalLedCount = totalLedCount;
            Devices = devices;
        }

        /// <summary>Number of LEDs on the whole channel.</summary>
        public int TotalLedCount { get; }
        /// <summary>The devices attached to the channel.</summary>
        public IReadOnlyList<ChannelDevice> Devices { get; }
    }

    /// <summary>Description of one device.</summary>
    public sealed class DeviceInfo
    {
        internal DeviceInfo(int index, int type, string model, int physicalLayout, int logicalLayout, int capsMask,
                            int ledCount, IReadOnlyList<Channel> channels)
        {
            Index = index;
            Type = type;
            Model = model;
            PhysicalLayout = physicalLayout;
            LogicalLayout = logicalLayout;
            CapsMask = capsMask;
            LedCount = ledCount;
            Channels = channels;
        }

        /// <summary>The device index this description was asked for.</summary>
        public int Index { get; }
        /// <summary>Device type code (keyboard, mouse, headset, ...), as the server defines it.</summary>
        public int Type { get; }
        /// <summary>Model name; empty when the server sent none.</summary>
        public string Model { get; }
        /// <summary>Physical layout code, as the server defines it.</summary>
        public int PhysicalLayout { get; }
        /// <summary>Logical layout code, as the server defines it.</summary>
        public int LogicalLayout { get; }
        /// <summary>Capability bit mask, as the server defines it.</summary>
        public int CapsMask { get; }
        /// <summary>Number of LEDs of the device.</summary>
        public int LedCount { get; }
        /// <summary>The device's lighting channels; empty when it has none.</summary>
        public IReadOnlyList<Channel> Channels { get; }

        /// <inheritdoc/>
        public override string ToString() => Model;
    }

    /// <summary>The value type of a device property, carried in one flag bit of its identifier.</summary>
    public enum PropertyKind
    {
        /// <summary>A boolean property.</summary>
        Bool = 0x1000,
        /// <summary>A 32-bit integer property.</summary>
        Int32 = 0x2000,
    }

    /// <summary>
    /// A device property identifier: the kind flag and the server's own code for the property (the
    /// reference server's are listed in its documentation, for example <c>PropertyId.Int32(3)</c> for its
    /// battery level).
    /// </summary>
    public readonly struct PropertyId : IEquatable<PropertyId>
    {
        /// <summary>The identifier exactly as the library and the server take it.</summary>
        public PropertyId(int value)
        {
            Value = value;
        }

        /// <summary>A boolean property with the server's code (the flag is added).</summary>
        public static PropertyId Bool(int code) => new PropertyId((int)PropertyKind.Bool | code);
        /// <summary>A 32-bit integer property with the server's code (the flag is added).</summary>
        public static PropertyId Int32(int code) => new PropertyId((int)PropertyKind.Int32 | code);

        /// <summary>The whole identifier, flag bit included.</summary>
        public int Value { get; }
        /// <summary>Whether the identifier carries the flag of that kind.</summary>
        public bool Is(PropertyKind kind) => (Value & (int)kind) != 0;

        /// <inheritdoc/>
        public bool Equals(PropertyId other) => Value == other.Value;
        /// <inheritdoc/>
        public override bool Equals(object obj) => obj is PropertyId other && Equals(other);
        /// <inheritdoc/>
        public override int GetHashCode() => Value;
        /// <inheritdoc/>
        public override string ToString() => "0x" + Value.ToString("X4", CultureInfo.InvariantCulture);
    }

    /// <summary>A key went down or up.</summary>
    public sealed class KeyEventArgs : EventArgs
    {
        /// <summary>Makes the event (the binding raises them; this is for tests of your handlers).</summary>
        public KeyEventArgs(int keyId, bool pressed)
        {
            KeyId = keyId;
            Pressed = pressed;
        }

        /// <summary>The key, as the server reports it (the reference server uses virtual-key codes:
        /// letters are their upper-case character codes).</summary>
        public int KeyId { get; }
        /// <summary>True when the key went down, false when it went up.</summary>
        public bool Pressed { get; }
    }

    /// <summary>An exception that one of your handlers threw on a library thread.</summary>
    public sealed class HandlerExceptionEventArgs : EventArgs
    {
        internal HandlerExceptionEventArgs(Exception exception)
        {
            Exception = exception;
        }

        /// <summary>What the handler threw.</summary>
        public Exception Exception { get; }
    }
}
