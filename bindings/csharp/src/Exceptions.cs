using System;
using System.Globalization;

namespace Veltari
{
    /// <summary>The error codes of the native library. Servers may report codes of their own beyond these.</summary>
    public enum ErrorCode
    {
        /// <summary>The call did what was asked.</summary>
        Success = 0,
        /// <summary>No working connection to the server; call <see cref="Lighting.Handshake"/> again.</summary>
        ServerUnreachable = 1,
        /// <summary>The server reported a failure of its own.</summary>
        ServerFailure = 2,
        /// <summary>No handshake has received an answer in this process yet.</summary>
        NoHandshake = 3,
        /// <summary>The server speaks an older protocol than the function needs.</summary>
        ProtocolTooOld = 4,
        /// <summary>An argument is out of range, or the server does not know the device or item.</summary>
        BadArgument = 5,
    }

    /// <summary>
    /// A call of the library failed. <see cref="Code"/> is the library's last error for the call, or the code
    /// the server reported (passed on unchanged). Each code the library documents has a subclass; other
    /// codes, and a refusal without any code (<see cref="Code"/> 0), come as this class.
    /// </summary>
    public class VeltariException : Exception
    {
        /// <summary>Makes the exception for a code.</summary>
        public VeltariException(int code, string message) : base(message)
        {
            Code = code;
        }

        /// <summary>The error code: one of <see cref="ErrorCode"/>, or the server's own.</summary>
        public int Code { get; }

        /// <summary>The code as an <see cref="ErrorCode"/> (a server's own codes have no name).</summary>
        public ErrorCode Error => (ErrorCode)Code;

        // The exception for a failed call: `what` names the call in the message.
        internal static VeltariException For(int code, string what)
        {
            switch (code)
            {
                case 1:
                    return new ServerUnreachableException(what + ": the lighting server is not reachable (not running, stopped, or no answer within 5 s); call Lighting.Handshake() again");
                case 2:
                    return new ServerFailureException(what + ": the lighting server reported a failure of its own");
                case 3:
                    return new NoHandshakeException(what + ": call Lighting.Handshake() first");
                case 4:
                    return new ProtocolTooOldException(what + ": the lighting server's protocol is too old for this call");
                case 5:
                    return new BadArgumentException(what + ": an argument is out of range, or the server has no such device, LED or property");
                case 0:
                    return new VeltariException(0, what + ": the lighting server refused without giving a reason");
                default:
                    return new VeltariException(code, string.Format(CultureInfo.InvariantCulture,
                        "{0}: the lighting server reported error {1}", what, code));
            }
        }
    }

    /// <summary>Error 1: no working connection to the server. Call <see cref="Lighting.Handshake"/> again.</summary>
    public class ServerUnreachableException : VeltariException
    {
        /// <summary>Makes the exception.</summary>
        public ServerUnreachableException(string message) : base(1, message) { }
    }

    /// <summary>Error 2: the server reported a failure of its own.</summary>
    public class ServerFailureException : VeltariException
    {
        /// <summary>Makes the exception.</summary>
        public ServerFailureException(string message) : base(2, message) { }
    }

    /// <summary>Error 3: <see cref="Lighting.Handshake"/> has not received an answer in this process yet.</summary>
    public class NoHandshakeException : VeltariException
    {
        /// <summary>Makes the exception.</summary>
        public NoHandshakeException(string message) : base(3, message) { }
    }

    /// <summary>Error 4: the server speaks an older protocol than the call needs.</summary>
    public class ProtocolTooOldException : VeltariException
    {
        /// <summary>Makes the exception.</summary>
        public ProtocolTooOldException(string message) : base(4, message) { }
    }

    /// <summary>Error 5: an argument is out of range, or the server has no such device, LED or property.</summary>
    public class BadArgumentException : VeltariException
    {
        /// <summary>Makes the exception.</summary>
        public BadArgumentException(string message) : base(5, message) { }
    }
}
